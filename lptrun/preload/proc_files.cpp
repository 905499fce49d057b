// The kernel's list of parallel ports, /proc/sys/dev/parport, as a machine
// with ppdev has it: programs and libraries (libieee1284) find the ports and
// their addresses there before they open /dev/parportN, and find nothing on
// a machine without ports, such as the bench.
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
    dirent entries[max_parports + 2];
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
                    l.entries[l.count++].d_type = DT_DIR;
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

EXPORT int stat(const char *path, struct stat *info)
{
    unsigned n;
    const char *file;
    char text[64];
    const Place where = place_of(path, &n, &file);
    static int (*call)(const char *, struct stat *);
    if (where == none) {
        return next(&call, "stat")(path, info);
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
    if (place_of(path, &n, &file) == none) {
        return next(&call, "__xstat")(version, path, info);
    }
    return stat(path, info);
}
