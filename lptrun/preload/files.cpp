// Opening, duplicating and closing the device files: which descriptors are
// ours, and the open file each names.
#include "files.h"
#include "io_space.h"
#include "os.h"
#include "trap.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/close_range.h>
#include <sys/eventfd.h>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace lptrun {
namespace {

// Descriptors up to this are looked up in a table; a device opened on a
// higher one is refused as if the process had no descriptor left.
const int max_fd = 4096;
OpenFile *files[max_fd];
os::Mutex files_changing = LPT_MUTEX_INITIALIZER;

const unsigned max_parports = 8;
emul::Device *devices[max_parports];

int real_close(int fd)
{
    static int (*call)(int);
    return next(&call, "close")(fd);
}

// The descriptor's open file dropped; the file closed with its last one.
void forget(int fd)
{
    OpenFile *file = files[fd];
    __atomic_store_n(&files[fd], nullptr, __ATOMIC_RELEASE);
    if (file != nullptr && --file->refs == 0) {
        if (file->kind == OpenFile::parport) {
            emul::close(&file->open);
        }
        free(file);
    }
}

} // namespace

int device_in(const char *path)
{
    if (path == nullptr) {
        return -1;
    }
    if (strcmp(path, "/dev/port") == 0) {
        return -2;
    }
    const char *number = strncmp(path, "/dev/parport", 12) == 0     ? path + 12
                         : strncmp(path, "/dev/parports/", 14) == 0 ? path + 14
                                                                    : nullptr;
    if (number == nullptr || number[0] < '0' || number[0] > '9' || number[1] != '\0') {
        return -1;
    }
    return number[0] - '0';
}

namespace {

// Opens one of our devices; -1 with errno when it cannot.
int open_device(int which, int flags)
{
    emul::Device *device = which >= 0 ? parport_device(static_cast<unsigned>(which)) : nullptr;
    if (which >= 0 && device == nullptr) {
        errno = ENOENT; // no such parport, as without its device file
        return -1;
    }
    OpenFile *file = static_cast<OpenFile *>(calloc(1, sizeof(OpenFile)));
    if (file == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    const int fd = eventfd(0, ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0) |
                                  ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0));
    if (fd < 0 || fd >= max_fd) {
        if (fd >= 0) {
            real_close(fd);
            errno = EMFILE;
        }
        free(file);
        return -1;
    }
    file->kind = which >= 0 ? OpenFile::parport : OpenFile::dev_port;
    file->refs = 1;
    file->access = flags & O_ACCMODE;
    if (device != nullptr) {
        emul::open(&file->open, device, 0);
    }
    os::lock(&files_changing);
    forget(fd); // a descriptor the program closed past us
    __atomic_store_n(&files[fd], file, __ATOMIC_RELEASE);
    os::unlock(&files_changing);
    return fd;
}

// A duplicate `copy` of `fd` made by the system: it names fd's open file.
int duplicated(int fd, int copy)
{
    if (copy < 0 || fd == copy) {
        return copy;
    }
    os::lock(&files_changing);
    if (copy < max_fd) {
        forget(copy);
        OpenFile *file = file_of(fd);
        if (file != nullptr) {
            ++file->refs;
            __atomic_store_n(&files[copy], file, __ATOMIC_RELEASE);
        }
    }
    os::unlock(&files_changing);
    return copy;
}

using Open = int (*)(const char *, int, ...);
using OpenAt = int (*)(int, const char *, int, ...);

int opened(const char *path, int flags, mode_t mode, Open *call, const char *name)
{
    const int which = device_in(path);
    if (which != -1) {
        return open_device(which, flags);
    }
    const int fd = proc_open(path, flags);
    return fd != -2 ? fd : next(call, name)(path, flags, mode);
}

// Relative paths are the program's own: our devices are named in full.
int opened_at(int dir, const char *path, int flags, mode_t mode, OpenAt *call, const char *name)
{
    const int which = device_in(path);
    if (which != -1) {
        return open_device(which, flags);
    }
    const int fd = proc_open(path, flags);
    return fd != -2 ? fd : next(call, name)(dir, path, flags, mode);
}

mode_t mode_of(int flags, va_list arguments)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
}

} // namespace

OpenFile *file_of(int fd)
{
    return fd >= 0 && fd < max_fd ? __atomic_load_n(&files[fd], __ATOMIC_ACQUIRE) : nullptr;
}

emul::Device *parport_device(unsigned n)
{
    const unsigned base = parport_base(n);
    if (base == 0) {
        return nullptr;
    }
    os::lock(&files_changing);
    if (devices[n] == nullptr) {
        char name[64], why[700];
        snprintf(name, sizeof name, "/dev/parport%u (lptrun)", n);
        devices[n] = emul::open_device(base, name, why, sizeof why);
        if (devices[n] == nullptr) {
            char text[900];
            snprintf(text, sizeof text, "%s; port 0x%03X: values are kept in this program only",
                     why, base);
            say(text);
            devices[n] = emul::open_private_device(base, name);
        }
    }
    emul::Device *device = devices[n];
    os::unlock(&files_changing);
    return device;
}

} // namespace lptrun

using namespace lptrun;

#define OPEN(name)                                                                                 \
    EXPORT int name(const char *path, int flags, ...)                                              \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        const mode_t mode = mode_of(flags, arguments);                                             \
        va_end(arguments);                                                                         \
        static Open call;                                                                          \
        return opened(path, flags, mode, &call, #name);                                            \
    }
OPEN(open)
OPEN(open64)

#define OPENAT(name)                                                                               \
    EXPORT int name(int dir, const char *path, int flags, ...)                                     \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        const mode_t mode = mode_of(flags, arguments);                                             \
        va_end(arguments);                                                                         \
        static OpenAt call;                                                                        \
        return opened_at(dir, path, flags, mode, &call, #name);                                    \
    }
OPENAT(openat)
OPENAT(openat64)

// The checked forms that fortified programs call.
#define OPEN_2(name)                                                                               \
    EXPORT int name(const char *path, int flags)                                                   \
    {                                                                                              \
        static Open call;                                                                          \
        return opened(path, flags, 0, &call, #name);                                               \
    }
OPEN_2(__open_2)
OPEN_2(__open64_2)
#define OPENAT_2(name)                                                                             \
    EXPORT int name(int dir, const char *path, int flags)                                          \
    {                                                                                              \
        static OpenAt call;                                                                        \
        return opened_at(dir, path, flags, 0, &call, #name);                                       \
    }
OPENAT_2(__openat_2)
OPENAT_2(__openat64_2)

EXPORT int close(int fd)
{
    if (file_of(fd) != nullptr) {
        os::lock(&files_changing);
        forget(fd);
        os::unlock(&files_changing);
    }
    return real_close(fd);
}

// Closes made past close(): a descriptor left in the table would take a
// later file of the same number for a device.
void forget_closed(int first, int last)
{
    os::lock(&files_changing);
    for (int fd = first < 0 ? 0 : first; fd <= last && fd < max_fd; ++fd) {
        forget(fd);
    }
    os::unlock(&files_changing);
}

EXPORT int fclose(FILE *stream)
{
    const int fd = stream != nullptr ? fileno(stream) : -1;
    if (file_of(fd) != nullptr) {
        forget_closed(fd, fd);
    }
    static int (*call)(FILE *);
    return next(&call, "fclose")(stream);
}

EXPORT int close_range(unsigned first, unsigned last, int flags)
{
    static int (*call)(unsigned, unsigned, int);
    const int result = next(&call, "close_range")(first, last, flags);
    if (result == 0 && (flags & CLOSE_RANGE_CLOEXEC) == 0) {
        forget_closed(static_cast<int>(first < max_fd ? first : max_fd),
                      static_cast<int>(last < max_fd ? last : max_fd));
    }
    return result;
}

EXPORT void closefrom(int first)
{
    static void (*call)(int);
    next(&call, "closefrom")(first);
    forget_closed(first, max_fd);
}

EXPORT int dup(int fd)
{
    static int (*call)(int);
    return duplicated(fd, next(&call, "dup")(fd));
}

EXPORT int dup2(int fd, int copy)
{
    static int (*call)(int, int);
    return duplicated(fd, next(&call, "dup2")(fd, copy));
}

EXPORT int dup3(int fd, int copy, int flags)
{
    static int (*call)(int, int, int);
    return duplicated(fd, next(&call, "dup3")(fd, copy, flags));
}

// fcntl's argument is an int or a pointer: passed on as a pointer-sized word.
#define FCNTL(name)                                                                                \
    EXPORT int name(int fd, int command, ...)                                                      \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, command);                                                              \
        void *argument = va_arg(arguments, void *);                                                \
        va_end(arguments);                                                                         \
        static int (*call)(int, int, void *);                                                      \
        const int result = next(&call, #name)(fd, command, argument);                              \
        return command == F_DUPFD || command == F_DUPFD_CLOEXEC ? duplicated(fd, result) : result; \
    }
FCNTL(fcntl)
FCNTL(fcntl64)
