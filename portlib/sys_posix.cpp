// The operating-system side of the port library on POSIX systems (Linux):
// the state files, their mappings and locks, the fault guard, futexes, the
// clock and the boot id.
#include "sys.h"
#include "vport.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace sys {
namespace {

// How long an open waits for another process's lock before giving up: long
// enough for any rebuild, short enough not to stall the program.
const int lock_wait_ms = 200;

void failed(char *why, size_t size, const char *call, const char *path, int error)
{
    snprintf(why, size, "%s(%s) failed: %s", call, path, strerror(error));
}

// Keeps our files off descriptors 0, 1 and 2: a program started with them
// closed would otherwise print into the state file.
int above_stdio(int fd)
{
    if (fd < 0 || fd > 2) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// ---- the fault guard ------------------------------------------------------
// A state file shrunk by someone else while mapped would kill the program
// with SIGBUS on its next access. Faults inside our own mappings are turned
// into blank memory and noted; every other SIGBUS goes to the handler that
// was there before.

struct Guard {
    uintptr_t start; // 0: free
    size_t length;
    int faulted;
};
Guard guards[64];
pthread_mutex_t guard_lock = PTHREAD_MUTEX_INITIALIZER;
struct sigaction previous_bus;
bool handler_installed = false;

void on_bus(int signal_number, siginfo_t *info, void *context)
{
    const int saved = errno;
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Guard &guard : guards) {
        const uintptr_t start = __atomic_load_n(&guard.start, __ATOMIC_ACQUIRE);
        if (start != 0 && at - start < guard.length) {
            mmap(reinterpret_cast<void *>(start), guard.length, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            __atomic_store_n(&guard.faulted, 1, __ATOMIC_RELEASE);
            errno = saved;
            return;
        }
    }
    errno = saved;
    if (previous_bus.sa_flags & SA_SIGINFO) {
        previous_bus.sa_sigaction(signal_number, info, context);
    } else if (previous_bus.sa_handler != SIG_DFL && previous_bus.sa_handler != SIG_IGN) {
        previous_bus.sa_handler(signal_number);
    } else if (previous_bus.sa_handler == SIG_DFL || info->si_code > 0) {
        // As if we were never there: a fault repeats on return, a signal
        // sent by someone is sent again, and the default action follows.
        signal(SIGBUS, SIG_DFL);
        if (info->si_code <= 0) {
            raise(SIGBUS);
        }
    }
}

int add_guard(void *start, size_t length)
{
    pthread_mutex_lock(&guard_lock);
    int index = -1;
    for (int i = 0; i < static_cast<int>(sizeof guards / sizeof guards[0]); ++i) {
        if (guards[i].start == 0) {
            index = i;
            break;
        }
    }
    if (index >= 0) {
        guards[index].length = length;
        guards[index].faulted = 0;
        __atomic_store_n(&guards[index].start, reinterpret_cast<uintptr_t>(start),
                         __ATOMIC_RELEASE);
        if (!handler_installed) {
            struct sigaction action;
            memset(&action, 0, sizeof action);
            action.sa_sigaction = on_bus;
            action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
            sigemptyset(&action.sa_mask);
            handler_installed = sigaction(SIGBUS, &action, &previous_bus) == 0;
        }
    }
    pthread_mutex_unlock(&guard_lock);
    return index;
}

void remove_guard(int index)
{
    if (index < 0) {
        return;
    }
    pthread_mutex_lock(&guard_lock);
    __atomic_store_n(&guards[index].start, 0, __ATOMIC_RELEASE);
    bool any = false;
    for (const Guard &guard : guards) {
        any = any || guard.start != 0;
    }
    if (!any && handler_installed) {
        // Leave the process as we found it: after an unload our handler's
        // code is gone. Someone who replaced it keeps theirs.
        struct sigaction current;
        if (sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
            current.sa_sigaction == on_bus) {
            sigaction(SIGBUS, &previous_bus, nullptr);
        }
        handler_installed = false;
    }
    pthread_mutex_unlock(&guard_lock);
}

// ---- the folder -------------------------------------------------------------

// Creates the folder and any missing parents, as mkdir -p; each one made here
// gets 0700 whatever the umask.
void make_folders(const char *path)
{
    char prefix[512];
    size_t length = strlen(path);
    if (length >= sizeof prefix) {
        return;
    }
    memcpy(prefix, path, length + 1);
    for (size_t i = 1; i <= length; ++i) {
        if (prefix[i] != '/' && prefix[i] != '\0') {
            continue;
        }
        const char kept = prefix[i];
        prefix[i] = '\0';
        if (mkdir(prefix, 0700) == 0) {
            chmod(prefix, 0700);
        }
        prefix[i] = kept;
    }
}

// Opens the folder; refuses one that others own or could change.
int open_folder(const char *folder, bool create, bool *absent, char *why, size_t size)
{
    if (create) {
        make_folders(folder);
    }
    int fd = above_stdio(open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd < 0) {
        *absent = errno == ENOENT;
        failed(why, size, "open", folder, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        failed(why, size, "fstat", folder, errno);
    } else if (st.st_uid != geteuid()) {
        snprintf(why, size,
                 "%s belongs to another user; set LPT_VIRTUAL_DIR to a folder of your own", folder);
    } else if ((st.st_mode & 022) != 0) {
        snprintf(why, size, "%s is writable by others; run: chmod 700 %s", folder, folder);
    } else {
        if (create && (st.st_mode & 0700) != 0700) {
            fchmod(fd, (st.st_mode & 07777) | 0700); // left unusable by a restrictive umask
        }
        return fd;
    }
    ::close(fd);
    return -1;
}

bool plain_file_of_ours(const struct stat &st)
{
    // A second link would make us write into someone's other file.
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// Removes whatever is in the state file's place: a directory that is not
// empty is moved aside, so that nothing of the user's is deleted.
bool clear_place(int folder, const char *name)
{
    if (unlinkat(folder, name, 0) == 0 || errno == ENOENT) {
        return true;
    }
    if (errno == EISDIR && unlinkat(folder, name, AT_REMOVEDIR) == 0) {
        return true;
    }
    char aside[600];
    snprintf(aside, sizeof aside, "%s.moved-aside-%ld", name, static_cast<long>(getpid()));
    return renameat(folder, name, folder, aside) == 0;
}

// Opens the state file without following links or blocking.
int open_file(int folder, const char *name, const char *path, bool create, bool *absent,
              bool *writable, char *why, size_t size)
{
    const int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (!create) {
        int fd = above_stdio(openat(folder, name, O_RDWR | flags));
        *writable = fd >= 0;
        if (fd < 0 && errno == EACCES) {
            fd = above_stdio(openat(folder, name, O_RDONLY | flags));
        }
        struct stat st;
        if (fd < 0) {
            *absent = errno == ENOENT;
            failed(why, size, "open", path, errno);
        } else if (fstat(fd, &st) != 0 || !plain_file_of_ours(st)) {
            snprintf(why, size, "%s is not a plain file of yours", path);
            ::close(fd);
            fd = -1;
        }
        return fd;
    }
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = above_stdio(openat(folder, name, O_RDWR | O_CREAT | flags, 0600));
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && plain_file_of_ours(st)) {
                if ((st.st_mode & 07777) != 0600) {
                    fchmod(fd, 0600);
                }
                *writable = true;
                return fd;
            }
            ::close(fd);
            error = EEXIST;
        } else {
            error = errno;
            if (error != ELOOP && error != EACCES && error != ENXIO && error != EPERM &&
                error != EISDIR && error != ETXTBSY) {
                break;
            }
        }
        if (!clear_place(folder, name)) {
            error = errno;
            break;
        }
    }
    failed(why, size, "open", path, error);
    return -1;
}

bool lock(int fd, bool exclusive)
{
    const uint64_t deadline = monotonic_ns() + lock_wait_ms * 1000000ull;
    while (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || monotonic_ns() > deadline) {
            return false;
        }
        sleep_ms(2);
    }
    return true;
}

// ---- the process ------------------------------------------------------------

// The pid goes in every record; asking the kernel each time costs more than
// the rest of a write, so it is kept, and renewed in a forked child.
uint32_t cached_pid = 0;
pthread_once_t fork_once = PTHREAD_ONCE_INIT;
pthread_mutex_t ports_mutex = PTHREAD_MUTEX_INITIALIZER;

// A fork while another thread of the host is inside Inp32 or Out32 would
// give the child a table lock that nobody releases: the fork waits for that
// call to end instead. The child gets a pid of its own.
void before_fork()
{
    pthread_mutex_lock(&ports_mutex);
}

void after_fork_in_parent()
{
    pthread_mutex_unlock(&ports_mutex);
}

void after_fork_in_child()
{
    cached_pid = 0;
    pthread_mutex_unlock(&ports_mutex);
}

void watch_forks()
{
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

} // namespace

const char separator_text[2] = "/";

bool state_folder(char *path, size_t size)
{
    const char *chosen = getenv("LPT_VIRTUAL_DIR");
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    int n;
    if (chosen != nullptr && chosen[0] != '\0') {
        n = snprintf(path, size, "%s", chosen);
    } else if (runtime != nullptr && runtime[0] == '/') {
        n = snprintf(path, size, "%s/lpt-virtual", runtime);
    } else {
        n = snprintf(path, size, "/tmp/lpt-virtual-%lu", static_cast<unsigned long>(geteuid()));
    }
    return n > 0 && static_cast<size_t>(n) < size;
}

Opened open_state(vport::Port *port, size_t size, bool create, bool *fresh, char *why,
                  size_t why_size)
{
    char folder[512];
    snprintf(folder, sizeof folder, "%s", port->path);
    char *slash = strrchr(folder, '/');
    const char *name = slash != nullptr ? slash + 1 : folder;
    if (slash != nullptr) {
        *slash = '\0';
    }
    bool absent = false;
    int folder_fd = open_folder(slash == folder    ? "/"
                                : slash != nullptr ? folder
                                                   : ".",
                                create, &absent, why, why_size);
    if (folder_fd < 0) {
        return absent && !create ? missing : refused;
    }
    bool writable = false;
    int fd = open_file(folder_fd, name, port->path, create, &absent, &writable, why, why_size);
    ::close(folder_fd);
    if (fd < 0) {
        return absent && !create ? missing : refused;
    }
    struct stat st;
    void *map = MAP_FAILED;
    if (!lock(fd, create)) {
        snprintf(why, why_size, "%s is locked by another program", port->path);
    } else if (fstat(fd, &st) != 0) {
        failed(why, why_size, "fstat", port->path, errno);
    } else if (!create && st.st_size != static_cast<off_t>(size)) {
        snprintf(why, why_size, "%s is damaged or of another version", port->path);
    } else {
        int error = 0;
        if (create && st.st_size != static_cast<off_t>(size)) {
            // Nothing of a file of another size is trusted.
            *fresh = true;
            if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
                error = errno;
            }
        }
        // Blocks reserved now: on a full disk a sparse file would fault on
        // the first write instead.
        if (create && error == 0) {
            error = posix_fallocate(fd, 0, static_cast<off_t>(size));
        }
        if (error != 0) {
            snprintf(why, why_size, "cannot reserve %s: %s", port->path, strerror(error));
        } else {
            map = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd,
                       0);
            if (map == MAP_FAILED) {
                failed(why, why_size, "mmap", port->path, errno);
            }
        }
    }
    if (map == MAP_FAILED) {
        ::close(fd); // also drops the lock
        return refused;
    }
    port->state = static_cast<vport::State *>(map);
    port->fd = fd;
    port->shared = true;
    port->writable = writable;
    port->guard = add_guard(map, size);
    return opened;
}

void unlock(vport::Port *port)
{
    flock(port->fd, LOCK_UN);
}

void close_state(vport::Port *port, size_t size)
{
    remove_guard(port->guard);
    munmap(port->state, size);
    ::close(port->fd);
    port->guard = -1;
    port->fd = -1;
}

bool replaced(const vport::Port *port)
{
    struct stat at_path, mapped;
    return stat(port->path, &at_path) != 0 || fstat(port->fd, &mapped) != 0 ||
           at_path.st_ino != mapped.st_ino || at_path.st_dev != mapped.st_dev;
}

bool faulted(const vport::Port *port)
{
    return port->guard >= 0 && __atomic_load_n(&guards[port->guard].faulted, __ATOMIC_ACQUIRE);
}

bool boot_id(uint8_t id[16])
{
    static uint8_t known[16];
    static int state = 0; // 0 unread, 1 known, 2 unknown
    int seen = __atomic_load_n(&state, __ATOMIC_ACQUIRE);
    if (seen == 0) {
        char text[64] = "";
        int fd =
            above_stdio(open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        ssize_t n = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
        if (fd >= 0) {
            ::close(fd);
        }
        uint8_t parsed[16];
        int got = 0;
        for (ssize_t i = 0; i + 1 < n && got < 16; ++i) {
            unsigned byte;
            if (text[i] == '-' || sscanf(text + i, "%2x", &byte) != 1) {
                continue;
            }
            parsed[got++] = static_cast<uint8_t>(byte);
            ++i;
        }
        seen = got == 16 ? 1 : 2;
        if (seen == 1) {
            memcpy(known, parsed, sizeof known);
        }
        __atomic_store_n(&state, seen, __ATOMIC_RELEASE);
    }
    if (seen == 1) {
        memcpy(id, known, sizeof known);
    }
    return seen == 1;
}

bool same_boot(const uint8_t a[16], const uint8_t b[16])
{
    return memcmp(a, b, 16) == 0;
}

uint64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

uint32_t process_id()
{
    if (cached_pid == 0) {
        pthread_once(&fork_once, watch_forks);
        cached_pid = static_cast<uint32_t>(getpid());
    }
    return cached_pid;
}

void wake(uint32_t *word)
{
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void wait(uint32_t *word, uint32_t seen, int timeout_ms)
{
    struct timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT, seen, &timeout, nullptr, 0);
}

void sleep_ms(int ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

void *allocate(size_t size)
{
    return calloc(1, size);
}

void release(void *memory)
{
    free(memory);
}

void write_error(const char *text)
{
    fputs(text, stderr);
}

bool first_time_in_process()
{
    // The notice this serves belongs to builds that drive no real port; here
    // the library's own memory is enough.
    static bool asked = false;
    const bool first = !asked;
    asked = true;
    return first;
}

void lock_ports()
{
    pthread_once(&fork_once, watch_forks);
    pthread_mutex_lock(&ports_mutex);
}

bool try_lock_ports()
{
    return pthread_mutex_trylock(&ports_mutex) == 0;
}

void unlock_ports()
{
    pthread_mutex_unlock(&ports_mutex);
}

} // namespace sys
