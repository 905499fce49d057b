// ppdev's requests.
#include "emul_device.h"

#include <errno.h>

namespace emul {

long ioctl(Open *, unsigned long, void *)
{
    return -ENOTTY;
}

void close(Open *) {}

} // namespace emul
