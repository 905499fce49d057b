// What the program asks of the device files once open: ppdev's requests,
// reads and writes (at an I/O address for /dev/port), and poll.
#include "files.h"
#include "io_space.h"
#include "os.h"
#include "trap.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace lptrun {
namespace {

// The I/O space's size, where /dev/port ends.
const uint64_t io_space = 0x10000;
// How long a poll sleeps before looking at the devices' interrupts again.
const int poll_slice_ms = 10;

int failed(long error)
{
    errno = static_cast<int>(-error);
    return -1;
}

// A step that answers would_wait made again each time the port changes,
// as the kernel's call sleeps until it can go on.
template <typename Step> long waited(const OpenFile *file, Step step)
{
    for (;;) {
        const uint32_t seen = emul::changes(file->open.device);
        const long result = step();
        if (result != emul::would_wait) {
            return result;
        }
        emul::wait_for_change(file->open.device, seen, emul::wait_limit_ms);
    }
}

bool nonblocking(int fd)
{
    static int (*call)(int, int, ...);
    return (next(&call, "fcntl")(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// A read or write: a /dev/parportN one goes to the port device whole (it
// has no place, as the kernel's has none); a /dev/port one moves each byte
// at its I/O address, from the file's place or `at`.
template <typename Device, typename Byte>
ssize_t transfer(OpenFile *file, int fd, const off_t *at, size_t size, Device device, Byte byte)
{
    if (file->kind == OpenFile::parport) {
        if (at != nullptr) {
            return failed(-ESPIPE);
        }
        const bool once = nonblocking(fd);
        const long result = waited(file, [&] { return device(once); });
        return result < 0 ? failed(result) : result;
    }
    uint64_t address = at != nullptr ? static_cast<uint64_t>(*at) : file->place;
    size_t done = 0;
    for (; done < size && address < io_space; ++done, ++address) {
        byte(done, static_cast<uint16_t>(address));
    }
    if (at == nullptr) {
        file->place = address;
    }
    return static_cast<ssize_t>(done);
}

} // namespace

int file_ioctl(OpenFile *file, int, unsigned long request, void *arg)
{
    if (file->kind == OpenFile::dev_port) {
        return failed(-ENOTTY);
    }
    const long result = waited(file, [&] { return emul::ioctl(&file->open, request, arg); });
    return result < 0 ? failed(result) : static_cast<int>(result);
}

ssize_t file_read(OpenFile *file, int fd, void *buffer, size_t size, const off_t *at)
{
    if (file->access == O_WRONLY) {
        return failed(-EBADF);
    }
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    return transfer(
        file, fd, at, size, [&](bool once) { return emul::read(&file->open, buffer, size, once); },
        [&](size_t i, uint16_t address) { bytes[i] = in_byte(address); });
}

ssize_t file_write(OpenFile *file, int fd, const void *buffer, size_t size, const off_t *at)
{
    if (file->access == O_RDONLY) {
        return failed(-EBADF);
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    return transfer(
        file, fd, at, size, [&](bool once) { return emul::write(&file->open, buffer, size, once); },
        [&](size_t i, uint16_t address) { out_byte(address, bytes[i], via_dev_port); });
}

off_t file_seek(OpenFile *file, off_t offset, int whence)
{
    if (file->kind == OpenFile::parport) {
        return failed(-ESPIPE);
    }
    const int64_t from = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<int64_t>(file->place)
                                              : -1;
    if (from < 0 || from + offset < 0) {
        return failed(-EINVAL);
    }
    file->place = static_cast<uint64_t>(from + offset);
    return static_cast<off_t>(file->place);
}

// Ours answered here, the others by the system, a slice at a time until one
// is ready or the time is up.
int poll_files(struct pollfd *fds, unsigned long count, int timeout_ms)
{
    static int (*call)(struct pollfd *, nfds_t, int);
    struct pollfd few[64];
    struct pollfd *theirs = count <= 64 ? few : static_cast<pollfd *>(malloc(count * sizeof *fds));
    if (theirs == nullptr) {
        return failed(-ENOMEM);
    }
    const uint64_t deadline =
        timeout_ms < 0 ? UINT64_MAX : os::monotonic_ns() + timeout_ms * 1000000ull;
    int ready;
    for (;;) {
        int ours_ready = 0;
        for (unsigned long i = 0; i < count; ++i) {
            theirs[i] = fds[i];
            OpenFile *file = file_of(fds[i].fd);
            if (file == nullptr) {
                continue;
            }
            theirs[i].fd = -1; // the system skips it
            const short can = file->kind == OpenFile::dev_port
                                  ? POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM
                                  : static_cast<short>(emul::poll(&file->open));
            fds[i].revents = static_cast<short>(can & fds[i].events);
            ours_ready += fds[i].revents != 0;
        }
        const uint64_t now = os::monotonic_ns();
        const int slice = ours_ready > 0 || now >= deadline ? 0
                          : deadline - now > poll_slice_ms * 1000000ull
                              ? poll_slice_ms
                              : static_cast<int>((deadline - now + 999999) / 1000000);
        ready = next(&call, "poll")(theirs, count, slice);
        if (ready < 0) {
            break;
        }
        for (unsigned long i = 0; i < count; ++i) {
            if (theirs[i].fd >= 0 || fds[i].fd < 0) {
                fds[i].revents = theirs[i].revents;
            }
        }
        ready += ours_ready;
        if (ready > 0 || os::monotonic_ns() >= deadline) {
            break;
        }
    }
    if (theirs != few) {
        free(theirs);
    }
    return ready;
}

} // namespace lptrun

using namespace lptrun;

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *arg = va_arg(arguments, void *);
    va_end(arguments);
    OpenFile *file = file_of(fd);
    if (file != nullptr) {
        return file_ioctl(file, fd, request, arg);
    }
    static int (*call)(int, unsigned long, ...);
    return next(&call, "ioctl")(fd, request, arg);
}

EXPORT ssize_t read(int fd, void *buffer, size_t size)
{
    OpenFile *file = file_of(fd);
    static ssize_t (*call)(int, void *, size_t);
    return file != nullptr ? file_read(file, fd, buffer, size, nullptr)
                           : next(&call, "read")(fd, buffer, size);
}

EXPORT ssize_t __read_chk(int fd, void *buffer, size_t size, size_t room)
{
    OpenFile *file = file_of(fd);
    static ssize_t (*call)(int, void *, size_t, size_t);
    return file != nullptr && size <= room ? file_read(file, fd, buffer, size, nullptr)
                                           : next(&call, "__read_chk")(fd, buffer, size, room);
}

EXPORT ssize_t write(int fd, const void *buffer, size_t size)
{
    OpenFile *file = file_of(fd);
    static ssize_t (*call)(int, const void *, size_t);
    return file != nullptr ? file_write(file, fd, buffer, size, nullptr)
                           : next(&call, "write")(fd, buffer, size);
}

#define POSITIONED(name, offset_type, io, buffer_type)                                             \
    EXPORT ssize_t name(int fd, buffer_type buffer, size_t size, offset_type at)                   \
    {                                                                                              \
        OpenFile *file = file_of(fd);                                                              \
        const off_t place = static_cast<off_t>(at);                                                \
        static ssize_t (*call)(int, buffer_type, size_t, offset_type);                             \
        return file != nullptr ? io(file, fd, buffer, size, &place)                                \
                               : next(&call, #name)(fd, buffer, size, at);                         \
    }
POSITIONED(pread, off_t, file_read, void *)
POSITIONED(pread64, off64_t, file_read, void *)
POSITIONED(pwrite, off_t, file_write, const void *)
POSITIONED(pwrite64, off64_t, file_write, const void *)

#define SEEK(name, offset_type)                                                                    \
    EXPORT offset_type name(int fd, offset_type offset, int whence)                                \
    {                                                                                              \
        OpenFile *file = file_of(fd);                                                              \
        static offset_type (*call)(int, offset_type, int);                                         \
        return file != nullptr ? file_seek(file, static_cast<off_t>(offset), whence)               \
                               : next(&call, #name)(fd, offset, whence);                           \
    }
SEEK(lseek, off_t)
SEEK(lseek64, off64_t)

EXPORT int poll(struct pollfd *fds, nfds_t count, int timeout_ms)
{
    for (nfds_t i = 0; i < count; ++i) {
        if (file_of(fds[i].fd) != nullptr) {
            return poll_files(fds, count, timeout_ms);
        }
    }
    static int (*call)(struct pollfd *, nfds_t, int);
    return next(&call, "poll")(fds, count, timeout_ms);
}

// select() over descriptors some of which are ours: as poll, then back.
EXPORT int select(int count, fd_set *reads, fd_set *writes, fd_set *errors, struct timeval *timeout)
{
    static int (*call)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
    bool ours = false;
    for (int fd = 0; fd < count && fd < FD_SETSIZE && !ours; ++fd) {
        ours = file_of(fd) != nullptr &&
               ((reads && FD_ISSET(fd, reads)) || (writes && FD_ISSET(fd, writes)) ||
                (errors && FD_ISSET(fd, errors)));
    }
    if (!ours) {
        return next(&call, "select")(count, reads, writes, errors, timeout);
    }
    struct pollfd fds[FD_SETSIZE];
    nfds_t used = 0;
    for (int fd = 0; fd < count && fd < FD_SETSIZE; ++fd) {
        const short events = static_cast<short>((reads && FD_ISSET(fd, reads) ? POLLIN : 0) |
                                                (writes && FD_ISSET(fd, writes) ? POLLOUT : 0) |
                                                (errors && FD_ISSET(fd, errors) ? POLLPRI : 0));
        if (events != 0) {
            fds[used++] = {fd, events, 0};
        }
    }
    const int ms = timeout == nullptr
                       ? -1
                       : static_cast<int>(timeout->tv_sec * 1000 + (timeout->tv_usec + 999) / 1000);
    const int ready = poll_files(fds, used, ms);
    if (ready < 0) {
        return ready;
    }
    int bits = 0;
    for (nfds_t i = 0; i < used; ++i) {
        const struct pollfd &p = fds[i];
        const struct {
            fd_set *set;
            short events;
        } kinds[] = {
            {reads, POLLIN | POLLHUP | POLLERR}, {writes, POLLOUT | POLLERR}, {errors, POLLPRI}};
        for (const auto &kind : kinds) {
            if (kind.set != nullptr && FD_ISSET(p.fd, kind.set)) {
                if ((p.revents & kind.events) != 0) {
                    ++bits;
                } else {
                    FD_CLR(p.fd, kind.set);
                }
            }
        }
    }
    if (timeout != nullptr && ready == 0) {
        timeout->tv_sec = 0, timeout->tv_usec = 0; // as Linux leaves it: the time left
    }
    return bits;
}
