// Real parallel ports on Linux through ppdev (/dev/parportN).
#ifndef LPT_PPDEV_H
#define LPT_PPDEV_H

// The system calls the backend makes on the device, so that tests can stand
// in for a port this machine does not have.
struct ppdev_ops {
    int (*open)(const char *path, int flags);
    int (*ioctl)(int fd, unsigned long request, void *argument);
    int (*close)(int fd);
};

// nullptr: the real system calls.
void ppdev_use_ops(const ppdev_ops *ops);

#endif
