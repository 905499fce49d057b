// The port library's files on POSIX systems (Linux): found relative to their
// folder's descriptor, never on descriptors 0-2, locked with flock. The
// mappings, waiting, the clock and the process are in os_posix_memory.cpp.
#include "os.h"
#include "standard_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {
namespace {

bool failed(Error *error, const char *call, int code)
{
    *error = Error{call, static_cast<unsigned long>(code)};
    return false;
}

} // namespace

const unsigned long already_exists = EEXIST;

void error_text(unsigned long code, char *text, size_t size)
{
    snprintf(text, size, "%s", strerror(static_cast<int>(code)));
}

bool is_absent(const Error &error)
{
    return error.code == ENOENT;
}

// Links are opened with O_NOFOLLOW and removed as themselves.
bool is_followed_link(const Error &)
{
    return false;
}

// A mapped file can always be cut (its mappings then fault).
bool is_mapped_elsewhere(const Error &)
{
    return false;
}

bool is_denied(const Error &error)
{
    return error.code == EACCES;
}

bool is_in_the_way(const Error &error)
{
    switch (error.code) {
    case ELOOP:
    case EACCES:
    case ENXIO:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
        return true;
    default:
        return false;
    }
}

bool default_state_folder(char *path, size_t size)
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    int n;
    if (runtime != nullptr && runtime[0] == '/') {
        n = snprintf(path, size, "%s/lpt-virtual", runtime);
    } else {
        n = snprintf(path, size, "/tmp/lpt-virtual-%lu", static_cast<unsigned long>(geteuid()));
    }
    return n > 0 && static_cast<size_t>(n) < size;
}

const char separator[] = "/";
const bool names_ignore_case = false;

void each_environment(bool (*each)(const char *entry, void *context), void *context)
{
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (each(*entry, context)) {
            return;
        }
    }
}

bool read_start(const char *path, void *buffer, size_t size, size_t *length, Error *error)
{
    *error = Error{"open", 0};
    // Kept off descriptors 0, 1 and 2, which the host's output may expect.
    const int fd =
        above_standard_descriptors(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    ssize_t n = -1;
    int code = fd < 0 || fstat(fd, &st) != 0 ? errno : 0;
    if (code == 0 && S_ISREG(st.st_mode)) {
        *error = Error{"read", 0};
        n = read(fd, buffer, size);
        code = n < 0 ? errno : 0;
    } else if (code == 0) {
        // Told as what is there: "Is a directory" says more than a stale errno.
        code = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    error->code = static_cast<unsigned long>(code);
    if (fd >= 0) {
        ::close(fd);
    }
    *length = n > 0 ? static_cast<size_t>(n) : 0;
    return n >= 0;
}

bool environment(const char *name, char *value, size_t size)
{
    const char *found = getenv(name);
    if (found == nullptr || found[0] == '\0') {
        return false;
    }
    const int n = snprintf(value, size, "%s", found);
    return n > 0 && static_cast<size_t>(n) < size;
}

char *environment_copy(const char *name)
{
    const char *found = getenv(name);
    if (found == nullptr || found[0] == '\0') {
        return nullptr;
    }
    char *copy = static_cast<char *>(malloc(strlen(found) + 1));
    if (copy != nullptr) {
        memcpy(copy, found, strlen(found) + 1);
    }
    return copy;
}

bool is_separator(char c)
{
    return c == '/';
}

size_t root_length(const char *)
{
    return 1;
}

void make_folder(const char *path)
{
    // 0700 whatever the umask.
    if (mkdir(path, 0700) == 0) {
        chmod(path, 0700);
    }
}

bool open_folder(const char *path, File *folder, Error *error)
{
    folder->fd =
        above_standard_descriptors(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return folder->fd >= 0 || failed(error, "open", errno);
}

bool folder_info(File folder, FolderInfo *info, Error *error)
{
    struct stat st;
    if (fstat(folder.fd, &st) != 0) {
        return failed(error, "fstat", errno);
    }
    info->ours = st.st_uid == geteuid();
    info->open_to_others = (st.st_mode & 022) != 0;
    info->shut_to_owner = (st.st_mode & 0700) != 0700;
    return true;
}

void open_to_owner(File folder)
{
    struct stat st;
    if (fstat(folder.fd, &st) == 0) {
        fchmod(folder.fd, (st.st_mode & 07777) | 0700);
    }
}

bool open_file(File folder, const char *name, const char *, Access access, File *file, Error *error)
{
    const int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    const int how = access == read_only    ? O_RDONLY
                    : access == read_write ? O_RDWR
                                           : O_RDWR | O_CREAT;
    file->fd = above_standard_descriptors(openat(folder.fd, name, how | flags, 0600));
    error->call = "open";
    return file->fd >= 0 || failed(error, "open", errno);
}

bool file_info(File file, FileInfo *info)
{
    struct stat st;
    if (fstat(file.fd, &st) != 0) {
        return false;
    }
    info->regular = S_ISREG(st.st_mode);
    info->ours = st.st_uid == geteuid();
    info->private_mode = (st.st_mode & 07777) == 0600;
    info->links = st.st_nlink;
    return true;
}

void make_private(File file)
{
    fchmod(file.fd, 0600);
}

bool remove(File folder, const char *name, const char *, bool *final, unsigned long *code)
{
    *final = false;
    if (unlinkat(folder.fd, name, 0) == 0 || errno == ENOENT) {
        return true;
    }
    if (errno == EISDIR && unlinkat(folder.fd, name, AT_REMOVEDIR) == 0) {
        return true;
    }
    *code = errno;
    return false;
}

bool move_aside(File folder, const char *name, const char *, const char *suffix,
                unsigned long *code)
{
    char aside[600];
    snprintf(aside, sizeof aside, "%s%s", name, suffix);
    if (renameat(folder.fd, name, folder.fd, aside) == 0) {
        return true;
    }
    *code = errno;
    return false;
}

void close(File file)
{
    if (file.fd >= 0) {
        ::close(file.fd);
    }
}

bool same_file(const char *path, File file)
{
    struct stat at_path, opened;
    return stat(path, &at_path) == 0 && fstat(file.fd, &opened) == 0 &&
           at_path.st_ino == opened.st_ino && at_path.st_dev == opened.st_dev;
}

Locking try_lock(File file, bool exclusive)
{
    if (flock(file.fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
        return locked;
    }
    return errno == EWOULDBLOCK || errno == EINTR ? busy : lock_failed;
}

void unlock(File file)
{
    flock(file.fd, LOCK_UN);
}

// Held by the open file, not the process: a process's own byte locks would
// all go when it closes any other descriptor of the same file.
#ifndef F_OFD_SETLK
#define F_OFD_SETLK F_SETLK
#define F_OFD_GETLK F_GETLK
#endif

static struct flock one_byte(short type, uint64_t offset)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    return lock;
}

bool hold_byte(File file, uint64_t offset)
{
    struct flock hold = one_byte(F_RDLCK, offset);
    return fcntl(file.fd, F_OFD_SETLK, &hold) == 0;
}

bool byte_held(File file, uint64_t offset)
{
    struct flock probe = one_byte(F_WRLCK, offset);
    return fcntl(file.fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

bool file_size(File file, uint64_t *size, Error *error)
{
    struct stat st;
    if (fstat(file.fd, &st) != 0) {
        return failed(error, "fstat", errno);
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

// The messages name no call for the size: the reason alone says it.
bool set_size(File file, uint64_t size, Error *error)
{
    return ftruncate(file.fd, static_cast<off_t>(size)) == 0 || failed(error, nullptr, errno);
}

bool reserve(File file, uint64_t size, bool, Error *error)
{
    const int code = posix_fallocate(file.fd, 0, static_cast<off_t>(size));
    return code == 0 || failed(error, nullptr, code);
}

} // namespace os
