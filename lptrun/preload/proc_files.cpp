// The kernel's list of parallel ports, /proc/sys/dev/parport, as a machine
// with ppdev has it: programs and libraries (libieee1284) find the ports and
// their addresses there before they open /dev/parportN, and find nothing on
// a machine without ports, such as the bench. Also the device files as
// stat() and access() see them, for programs that look before they open.
#include "files.h"
#include "io_space.h"
#include "trap.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace lptrun {
namespace {

const char root[] = "/proc/sys/dev/parport";
const unsigned max_parports = 8;

// What a path names: the list, a port's folder, or a file of a port.
enum Place { none, list, port_folder, port_file };

Place place_of(const char *path, unsigned *n, const char **file)
{
    const size_t length = sizeof root - 1;
    if (path == nullptr || strncmp(path, root, length) != 0) {
        return none;
    }
    path += length;
    if (path[0] == '\0' || strcmp(path, "/") == 0) {
        return list;
    }
    if (strncmp(path, "/parport", 8) != 0 || path[8] < '0' || path[8] > '9') {
        return none;
    }
    *n = static_cast<unsigned>(path[8] - '0');
    if (parport_base(*n) == 0) {
        return none;
    }
    *file = path + 9;
    return **file == '\0' ? port_folder : **file == '/' ? (++*file, port_file) : none;
}

// A file's text as the kernel writes it: the base and its ECP registers',
// no interrupt line, the modes the bench can give honestly.
bool text_of(unsigned n, const char *file, char *text, size_t size)
{
    const unsigned base = parport_base(n);
    if (strcmp(file, "base-addr") == 0) {
        snprintf(text, size, "%u\t%u\n", base, base + 0x400);
    } else if (strcmp(file, "irq") == 0 || strcmp(file, "dma") == 0) {
        snprintf(text, size, "-1\n");
    } else if (strcmp(file, "modes") == 0) {
        snprintf(text, size, "PCSPP,TRISTATE\n");
    } else {
        return false;
    }
    return true;
}

// The list's entries, read through a DIR of ours: readdir's only caller is
// the program, which gets them one by one.
struct Listing {
    dirent entries[max_parports];
    dirent64 entries64[max_parports]; // for readdir64, wider in i386 programs
    unsigned count, next;
};
Listing listings[4];
bool listing_used[4];

Listing *listing_of(DIR *dir)
{
    for (Listing &l : listings) {
        if (reinterpret_cast<DIR *>(&l) == dir) {
            return &l;
        }
    }
    return nullptr;
}

int fail(int error)
{
    errno = error;
    return -1;
}

int fill_stat(Place where, struct stat *info)
{
    memset(info, 0, sizeof *info);
    info->st_mode = where == port_file ? S_IFREG | 0444 : S_IFDIR | 0555;
    info->st_nlink = where == port_file ? 1 : 2;
    return 0;
}

} // namespace

int proc_open(const char *path, int flags)
{
    unsigned n;
    const char *file;
    char text[64];
    const Place where = place_of(path, &n, &file);
    if (where == none) {
        return -2;
    }
    if (where != port_file || !text_of(n, file, text, sizeof text)) {
        return fail(where == none || where == port_file ? ENOENT : EISDIR);
    }
    if ((flags & O_ACCMODE) != O_RDONLY) {
        return fail(EACCES);
    }
    const int fd = memfd_create("lptrun-parport", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd >= 0) {
        const ssize_t length = static_cast<ssize_t>(strlen(text));
        if (pwrite(fd, text, strlen(text), 0) != length) {
            close(fd);
            return fail(EIO);
        }
    }
    return fd;
}

} // namespace lptrun

using namespace lptrun;

EXPORT DIR *opendir(const char *path)
{
    unsigned n;
    const char *file;
    const Place where = place_of(path, &n, &file);
    static DIR *(*call)(const char *);
    if (where == none || where == port_file) {
        return where == none ? next(&call, "opendir")(path) : (errno = ENOTDIR, nullptr);
    }
    for (unsigned i = 0; i < 4; ++i) {
        if (!__atomic_exchange_n(&listing_used[i], true, __ATOMIC_ACQUIRE)) {
            Listing &l = listings[i];
            l = Listing{};
            for (unsigned p = 0; where == list && p < max_parports; ++p) {
                if (parport_base(p) != 0) {
                    snprintf(l.entries[l.count].d_name, sizeof l.entries[0].d_name, "parport%u", p);
                    memcpy(l.entries64[l.count].d_name, l.entries[l.count].d_name,
                           sizeof l.entries[0].d_name);
                    l.entries[l.count].d_type = l.entries64[l.count].d_type = DT_DIR;
                    l.entries[l.count].d_ino = l.entries64[l.count].d_ino = p + 1;
                    ++l.count;
                }
            }
            return reinterpret_cast<DIR *>(&l);
        }
    }
    errno = EMFILE;
    return nullptr;
}

EXPORT dirent *readdir(DIR *dir)
{
    Listing *l = listing_of(dir);
    static dirent *(*call)(DIR *);
    if (l == nullptr) {
        return next(&call, "readdir")(dir);
    }
    return l->next < l->count ? &l->entries[l->next++] : nullptr;
}

EXPORT dirent64 *readdir64(DIR *dir)
{
    Listing *l = listing_of(dir);
    static dirent64 *(*call)(DIR *);
    if (l == nullptr) {
        return next(&call, "readdir64")(dir);
    }
    return l->next < l->count ? &l->entries64[l->next++] : nullptr;
}

EXPORT void rewinddir(DIR *dir)
{
    Listing *l = listing_of(dir);
    static void (*call)(DIR *);
    if (l == nullptr) {
        next(&call, "rewinddir")(dir);
    } else {
        l->next = 0;
    }
}

// The list has no descriptor of its own.
EXPORT int dirfd(DIR *dir)
{
    static int (*call)(DIR *);
    return listing_of(dir) != nullptr ? fail(ENOTSUP) : next(&call, "dirfd")(dir);
}

EXPORT int closedir(DIR *dir)
{
    Listing *l = listing_of(dir);
    static int (*call)(DIR *);
    if (l == nullptr) {
        return next(&call, "closedir")(dir);
    }
    __atomic_store_n(&listing_used[l - listings], false, __ATOMIC_RELEASE);
    return 0;
}

// The device files as the system lists them, for programs that look before
// they open: ppdev's character devices (major 99), and /dev/port (1, 4).
int device_stat(int which, struct stat *info)
{
    if (which >= 0 && parport_base(static_cast<unsigned>(which)) == 0) {
        return fail(ENOENT);
    }
    memset(info, 0, sizeof *info);
    info->st_mode = S_IFCHR | 0660;
    info->st_nlink = 1;
    info->st_rdev = which >= 0 ? makedev(99, which) : makedev(1, 4);
    return 0;
}

EXPORT int stat(const char *path, struct stat *info)
{
    unsigned n;
    const char *file;
    char text[64];
    const Place where = place_of(path, &n, &file);
    static int (*call)(const char *, struct stat *);
    if (where == none) {
        const int which = device_in(path);
        return which != -1 ? device_stat(which, info) : next(&call, "stat")(path, info);
    }
    return where == port_file && !text_of(n, file, text, sizeof text) ? fail(ENOENT)
                                                                      : fill_stat(where, info);
}

// Programs built against older C libraries reach stat() through this.
EXPORT int __xstat(int version, const char *path, struct stat *info)
{
    unsigned n;
    const char *file;
    static int (*call)(int, const char *, struct stat *);
    if (place_of(path, &n, &file) == none && device_in(path) == -1) {
        return next(&call, "__xstat")(version, path, info);
    }
    return stat(path, info);
}

// What stat() and the rest look at: ours, or the system's for the others.
#define STAT_AT(name, info_type)                                                                   \
    EXPORT int name(int dir, const char *path, info_type *info, int flags)                         \
    {                                                                                              \
        unsigned n;                                                                                \
        const char *file;                                                                          \
        static int (*call)(int, const char *, info_type *, int);                                   \
        if (device_in(path) == -1 && place_of(path, &n, &file) == none) {                          \
            return next(&call, #name)(dir, path, info, flags);                                     \
        }                                                                                          \
        struct stat ours;                                                                          \
        if (stat(path, &ours) != 0) {                                                              \
            return -1;                                                                             \
        }                                                                                          \
        memset(info, 0, sizeof *info);                                                             \
        info->st_mode = ours.st_mode, info->st_nlink = ours.st_nlink;                              \
        info->st_rdev = ours.st_rdev;                                                              \
        return 0;                                                                                  \
    }
STAT_AT(fstatat, struct stat)
STAT_AT(fstatat64, struct stat64)

EXPORT int lstat(const char *path, struct stat *info)
{
    return fstatat(AT_FDCWD, path, info, AT_SYMLINK_NOFOLLOW);
}

EXPORT int stat64(const char *path, struct stat64 *info)
{
    return fstatat64(AT_FDCWD, path, info, 0);
}

EXPORT int lstat64(const char *path, struct stat64 *info)
{
    return fstatat64(AT_FDCWD, path, info, AT_SYMLINK_NOFOLLOW);
}

EXPORT int faccessat(int dir, const char *path, int mode, int flags)
{
    unsigned n;
    const char *file;
    static int (*call)(int, const char *, int, int);
    if (device_in(path) == -1 && place_of(path, &n, &file) == none) {
        return next(&call, "faccessat")(dir, path, mode, flags);
    }
    return access(path, mode);
}

EXPORT int access(const char *path, int mode)
{
    unsigned n;
    const char *file;
    const int which = device_in(path);
    static int (*call)(const char *, int);
    if (which == -1 && place_of(path, &n, &file) == none) {
        return next(&call, "access")(path, mode);
    }
    struct stat info;
    return stat(path, &info) != 0                         ? -1
           : (mode & X_OK) != 0 && !S_ISDIR(info.st_mode) ? fail(EACCES)
           : (mode & W_OK) != 0 && !S_ISCHR(info.st_mode) ? fail(EACCES)
                                                          : 0;
}
