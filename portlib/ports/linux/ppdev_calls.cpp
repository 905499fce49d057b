// The system calls of the ppdev backend, alone in their file so that a test
// that links in its own ppdev::calls leaves this one out.
#include "ppdev_parts.h"
#include "standard_descriptors.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ppdev {

namespace {

// Kept off descriptors 0, 1 and 2, which the program's output may expect.
int real_open(const char *path, int flags)
{
    return above_standard_descriptors(open(path, flags));
}
int real_ioctl(int fd, unsigned long request, void *argument)
{
    return ioctl(fd, request, argument);
}
int real_close(int fd)
{
    return close(fd);
}

} // namespace

const Ops calls = {real_open, real_ioctl, real_close};

} // namespace ppdev
