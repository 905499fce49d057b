// What the ppdev files share: real parallel ports on Linux through ppdev
// (/dev/parportN).
#ifndef LPT_PPDEV_PARTS_H
#define LPT_PPDEV_PARTS_H

#include <stddef.h>

namespace ppdev {

// The system calls the backend makes on the device, and the folder that
// holds /proc/sys/dev/parport and /dev, so that tests can stand in for a
// port this machine does not have: ppdev_calls.cpp holds the real ones, which
// a test replaces by linking in its own ppdev::calls.
struct Ops {
    int (*open)(const char *path, int flags);
    int (*ioctl)(int fd, unsigned long request, void *argument);
    int (*close)(int fd);
    const char *root = ""; // put before both paths
};
extern const Ops calls;

// The setting that sends the writes for the port at `base` to a port this
// machine has, LPT_PORT_0x3BC=parport0 (or /dev/parport0): the N of the
// parportN it names, -1 when there is none for `base`, or -2 when a setting
// cannot be read (`why` says which and how to write it). A setting that
// cannot be read is never guessed at.
int routed_port(unsigned base, char *why, size_t why_size);

// N for a name that is exactly "parportN" (N without leading zeros, at most
// 9999), or -1: a looser reading would send writes to a port not named.
int port_number(const char *name);

// The start of a small procfs file, read without blocking and only from a
// plain file, as procfs gives. False when there is none.
bool read_proc_text(const char *path, char *text, size_t size);

// What the ports folder says besides the port looked for.
struct Found {
    char others[512];   // the ports there are instead
    int first_other;    // the lowest-numbered of them, or -1
    bool no_driver;     // no ports folder at all: the parport module is not loaded
    char misnamed[160]; // a setting named by another port's own address
};

// The parportN whose base address is `base` (or, when `wanted` is not
// negative, the parportN with that number) in the ports folder `proc`, or
// -1, and what else is there.
int find_port(unsigned base, int wanted, const char *proc, Found *found);

} // namespace ppdev

#endif
