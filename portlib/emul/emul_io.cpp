// read, write and poll.
#include "emul_device.h"

#include <errno.h>

namespace emul {

long read(Open *, void *, size_t, bool)
{
    return -EIO;
}

long write(Open *, const void *, size_t, bool)
{
    return -EIO;
}

unsigned poll(Open *)
{
    return 0;
}

} // namespace emul
