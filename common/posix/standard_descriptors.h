// Shared by the POSIX programs and the port library: a program started with
// standard input, output or error closed would have the next file it opens
// (its own, the port library's state file) take that number, and its
// printing would go into that file. A program fills the numbers with
// /dev/null; the library, inside someone else's program, moves its own files
// above them instead.
#ifndef LPT_STANDARD_DESCRIPTORS_H
#define LPT_STANDARD_DESCRIPTORS_H

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

// /dev/null keeps the numbers taken; a closed standard input then reads as
// its end.
static inline void fill_standard_descriptors(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number: this one, as the ones below are open.
            int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null > fd) {
                close(null);
            }
        }
    }
}

// `fd` itself, or a copy of it above 2 when it is one of 0, 1 and 2 (the
// original is closed); -1 with errno as it was when `fd` is -1 or no copy
// can be made.
static inline int above_standard_descriptors(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

#endif
