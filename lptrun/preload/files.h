// The device files lptrun gives the program in-process: /dev/parportN and
// /dev/port. Each open is backed by a real descriptor (an eventfd), so that
// its number is the program's own and no other file takes it.
#ifndef LPTRUN_FILES_H
#define LPTRUN_FILES_H

#include "emul.h"

#include <stddef.h>
#include <stdint.h>
#include <poll.h>
#include <sys/types.h>

namespace lptrun {

// One open file description: dup'd descriptors share it, as the kernel's.
struct OpenFile {
    enum Kind { dev_port, parport } kind;
    int refs;       // descriptors naming it
    int access;     // O_RDONLY, O_WRONLY or O_RDWR
    uint64_t place; // dev_port: the next I/O address
    emul::Open open;
};

// Which of our devices `path` names: N for "/dev/parportN" (or devfs's
// "/dev/parports/N"), -2 for "/dev/port", -1 for none.
int device_in(const char *path);

// The open file of descriptor `fd`, or nullptr for the program's own files.
OpenFile *file_of(int fd);

// The device of parportN, opened at its first use; nullptr where there is
// no parportN.
emul::Device *parport_device(unsigned n);

// Opens a file of /proc/sys/dev/parport: a descriptor, or -1 with errno;
// -2 for any other path.
int proc_open(const char *path, int flags);

// The files' requests; each returns what the system call returns, with
// errno set on failure.
int file_ioctl(OpenFile *file, int fd, unsigned long request, void *arg);
ssize_t file_read(OpenFile *file, int fd, void *buffer, size_t size, const off_t *at);
ssize_t file_write(OpenFile *file, int fd, const void *buffer, size_t size, const off_t *at);
off_t file_seek(OpenFile *file, off_t offset, int whence);
// poll() over descriptors some of which are ours.
int poll_files(struct pollfd *fds, unsigned long count, int timeout_ms);

} // namespace lptrun

#endif
