// Shared by the POSIX programs: a program started with standard input,
// output or error closed would have the next file it opens (its own, the
// port library's state file) take that number, and its printing would go
// into that file. /dev/null keeps the numbers taken; a closed standard input
// then reads as its end.
#ifndef LPT_STANDARD_DESCRIPTORS_H
#define LPT_STANDARD_DESCRIPTORS_H

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

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

#endif
