#include "vport.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vport {
namespace {

std::string failed(const std::string &call, const std::string &path)
{
    return call + "(" + path + ") failed: " + strerror(errno);
}

void initialise(State *s, unsigned base)
{
    s->version = file_version;
    s->size = sizeof(State);
    s->history_slots = history_length;
    s->base = base;
    s->reserved = 0;
    s->registers[data].store(0, std::memory_order_relaxed);
    s->registers[status].store(status_idle, std::memory_order_relaxed);
    s->registers[control].store(control_initial, std::memory_order_relaxed);
    s->next_write.store(1, std::memory_order_relaxed);
    s->changes.store(0, std::memory_order_relaxed);
    s->watchers.store(0, std::memory_order_relaxed);
    for (Slot &slot : s->history) {
        slot.tag.store(0, std::memory_order_relaxed);
        slot.time_ns.store(0, std::memory_order_relaxed);
        slot.payload.store(0, std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_release);
    s->magic = file_magic;
}

// Opens the folder, creating it 0700; refuses one that others could change.
int open_directory(const std::string &dir, std::string *why)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = failed("mkdir", dir);
        return -1;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *why = failed("open", dir);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = failed("fstat", dir);
    } else if (st.st_uid != geteuid()) {
        *why = dir + " belongs to another user; set LPT_VIRTUAL_DIR to a folder of your own";
    } else if ((st.st_mode & 022) != 0) {
        *why = dir + " is writable by others; run: chmod 700 " + dir;
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

// Opens the state file without following links. Anything in its place that is
// not a plain file of ours is removed and the file made anew.
int open_state_file(int dir_fd, const std::string &name, const std::string &path, std::string *why)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(dir_fd, name.c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
                if ((st.st_mode & 07777) != 0600) {
                    fchmod(fd, 0600);
                }
                return fd;
            }
            ::close(fd);
        } else if (errno != ELOOP && errno != EACCES && errno != ENXIO && errno != EPERM) {
            break;
        }
        if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
            break;
        }
    }
    *why = failed("open", path);
    return -1;
}

// The pid in every record; asking the kernel each time costs more than the
// rest of a write, so it is kept, and renewed in a forked child.
uint32_t cached_pid = 0;

void forget_pid()
{
    cached_pid = 0;
}

uint32_t writer_pid()
{
    if (cached_pid == 0) {
        static bool registered = pthread_atfork(nullptr, nullptr, forget_pid) == 0;
        (void)registered;
        cached_pid = static_cast<uint32_t>(getpid());
    }
    return cached_pid;
}

} // namespace

uint64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

std::string directory()
{
    const char *chosen = getenv("LPT_VIRTUAL_DIR");
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/lpt-virtual";
    }
    return "/tmp/lpt-virtual-" + std::to_string(geteuid());
}

std::string file_name(unsigned base)
{
    char name[32];
    snprintf(name, sizeof name, "lpt-%03x.state", base);
    return name;
}

bool valid(const State *s, unsigned base)
{
    if (s->magic != file_magic || s->version != file_version || s->size != sizeof(State) ||
        s->history_slots != history_length || s->base != base) {
        return false;
    }
    // Registers first: a writer numbers its write before it latches it.
    uint64_t latched[register_count];
    for (unsigned r = 0; r < register_count; ++r) {
        latched[r] = s->registers[r].load(std::memory_order_acquire);
    }
    uint64_t next = s->next_write.load(std::memory_order_acquire);
    if (next == 0 || latched[status] != status_idle) {
        return false;
    }
    for (uint64_t word : latched) {
        if ((word >> 8) >= next) {
            return false;
        }
    }
    return true;
}

bool open_shared(unsigned base, Port *port, std::string *why)
{
    const std::string dir = directory();
    const std::string name = file_name(base);
    const std::string path = dir + "/" + name;
    int dir_fd = open_directory(dir, why);
    if (dir_fd < 0) {
        return false;
    }
    int fd = open_state_file(dir_fd, name, path, why);
    ::close(dir_fd);
    if (fd < 0) {
        return false;
    }
    // The lock makes the check and any rebuild one step for all openers;
    // writes themselves need no lock.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    State *state = nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = failed("fstat", path);
    } else if (st.st_size != static_cast<off_t>(sizeof(State)) &&
               ftruncate(fd, sizeof(State)) != 0) {
        *why = failed("ftruncate", path);
    } else {
        void *map = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            *why = failed("mmap", path);
        } else {
            state = static_cast<State *>(map);
            if (!valid(state, base)) {
                initialise(state, base);
            }
        }
    }
    flock(fd, LOCK_UN);
    if (state == nullptr) {
        ::close(fd);
        return false;
    }
    port->state = state;
    port->fd = fd;
    port->shared = true;
    port->writable = true;
    return true;
}

bool open_existing(unsigned base, Port *port, std::string *why, bool watch)
{
    const std::string path = directory() + "/" + file_name(base);
    int fd = -1;
    if (watch) {
        fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    }
    const bool writable = fd >= 0;
    if (!writable) {
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0) {
        *why = failed("open", path);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != static_cast<off_t>(sizeof(State))) {
        *why = path + " is not a virtual port state file";
        ::close(fd);
        return false;
    }
    void *map = mmap(nullptr, sizeof(State), writable ? PROT_READ | PROT_WRITE : PROT_READ,
                     MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        *why = failed("mmap", path);
        ::close(fd);
        return false;
    }
    while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
    }
    bool ok = valid(static_cast<State *>(map), base);
    flock(fd, LOCK_UN);
    if (!ok) {
        *why = path + " is corrupt or of another version";
        munmap(map, sizeof(State));
        ::close(fd);
        return false;
    }
    port->state = static_cast<State *>(map);
    port->fd = fd;
    port->shared = true;
    port->writable = writable;
    return true;
}

bool open_private(unsigned base, Port *port)
{
    State *state = new (std::nothrow) State;
    if (state == nullptr) {
        return false;
    }
    initialise(state, base);
    port->state = state;
    port->fd = -1;
    port->shared = false;
    return true;
}

void close(Port *port)
{
    if (port->state == nullptr) {
        return;
    }
    if (port->shared) {
        munmap(port->state, sizeof(State));
        ::close(port->fd);
    } else {
        delete port->state;
    }
    port->state = nullptr;
    port->fd = -1;
}

void write(State *s, unsigned reg, uint8_t value)
{
    // Status lines are inputs: a write to them changes nothing, as on a port.
    if (reg >= register_count || reg == status) {
        return;
    }
    const uint64_t number = s->next_write.fetch_add(1, std::memory_order_acq_rel);
    Slot &slot = s->history[number % history_length];
    slot.tag.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.time_ns.store(monotonic_ns(), std::memory_order_relaxed);
    slot.payload.store(static_cast<uint64_t>(writer_pid()) << 32 | reg << 8 | value,
                       std::memory_order_relaxed);
    slot.tag.store(number, std::memory_order_release);

    const uint64_t word = number << 8 | value;
    uint64_t current = s->registers[reg].load(std::memory_order_relaxed);
    while ((current >> 8) < number &&
           !s->registers[reg].compare_exchange_weak(current, word, std::memory_order_release,
                                                    std::memory_order_relaxed)) {
    }
    s->changes.fetch_add(1, std::memory_order_release);
    if (s->watchers.load(std::memory_order_relaxed) != 0) {
        syscall(SYS_futex, &s->changes, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    }
}

uint8_t read(const State *s, unsigned reg)
{
    if (reg >= register_count) {
        return 0xFF; // no register there: the bus floats high
    }
    return static_cast<uint8_t>(s->registers[reg].load(std::memory_order_acquire) & 0xFF);
}

size_t recent_writes(const State *s, Write *out, size_t max)
{
    const uint64_t next = s->next_write.load(std::memory_order_acquire);
    uint64_t first = next > history_length ? next - history_length : 1;
    if (next - first > max) {
        first = next - max;
    }
    size_t count = 0;
    for (uint64_t number = first; number < next; ++number) {
        const Slot &slot = s->history[number % history_length];
        const uint64_t before = slot.tag.load(std::memory_order_acquire);
        const uint64_t time_ns = slot.time_ns.load(std::memory_order_relaxed);
        const uint64_t payload = slot.payload.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        const uint64_t after = slot.tag.load(std::memory_order_relaxed);
        if (before != number || after != number) {
            continue; // being written, or already overwritten
        }
        out[count++] =
            Write{number, time_ns, static_cast<unsigned>(payload >> 8 & 0xFF),
                  static_cast<uint8_t>(payload & 0xFF), static_cast<uint32_t>(payload >> 32)};
    }
    return count;
}

} // namespace vport
