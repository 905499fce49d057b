// The port library's mappings on POSIX systems (Linux), with the fault
// guard; futexes, the monotonic clock, the kernel's boot id and the process.
#include "os.h"
#include "fault_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <linux/futex.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace os {
namespace {

// The pid goes in every record; asking the kernel each time costs more than
// the rest of a write, so it is kept, and renewed in a forked child.
uint32_t cached_pid = 0;
pthread_once_t fork_once = PTHREAD_ONCE_INIT;

void forget_pid()
{
    cached_pid = 0;
}

void watch_forks()
{
    pthread_atfork(nullptr, nullptr, forget_pid);
}

} // namespace

bool map(File file, size_t size, bool writable, Mapping *mapping, Error *error)
{
    void *view =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, file.fd, 0);
    if (view == MAP_FAILED) {
        *error = Error{"mmap", static_cast<unsigned long>(errno)};
        return false;
    }
    *mapping = Mapping{view, size, fault_guard::add(view, size)};
    return true;
}

void unmap(Mapping *mapping)
{
    fault_guard::remove(mapping->slot);
    munmap(mapping->view, mapping->size);
    *mapping = Mapping();
}

bool faulted(const Mapping &mapping)
{
    return fault_guard::faulted(mapping.slot);
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

bool boot_id(uint8_t id[16])
{
    static uint8_t known[16];
    static int state = 0; // 0 unread, 1 known, 2 unknown
    int seen = __atomic_load_n(&state, __ATOMIC_ACQUIRE);
    if (seen == 0) {
        char text[64] = "";
        size_t length = 0;
        Error unused;
        const ssize_t n =
            read_start("/proc/sys/kernel/random/boot_id", text, sizeof text - 1, &length, &unused)
                ? static_cast<ssize_t>(length)
                : -1;
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

uint64_t coarse_ms()
{
    // Read from the vDSO without a system call, unlike the precise clock
    // where the machine's clock source is slow to read.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool process_alive(uint32_t pid)
{
    // EPERM: it runs, as another user's.
    return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

uint32_t process_id()
{
    if (cached_pid == 0) {
        pthread_once(&fork_once, watch_forks);
        cached_pid = static_cast<uint32_t>(getpid());
    }
    return cached_pid;
}

void write_error(const char *text)
{
    fputs(text, stderr);
}

void lock(Mutex *mutex)
{
    pthread_mutex_lock(&mutex->mutex);
}

bool try_lock(Mutex *mutex)
{
    return pthread_mutex_trylock(&mutex->mutex) == 0;
}

void unlock(Mutex *mutex)
{
    pthread_mutex_unlock(&mutex->mutex);
}

void wait(Condition *condition, Mutex *mutex)
{
    pthread_cond_wait(&condition->condition, &mutex->mutex);
}

void wake_all(Condition *condition)
{
    pthread_cond_broadcast(&condition->condition);
}

void at_fork(void (*before)(), void (*in_parent)(), void (*in_child)())
{
    pthread_atfork(before, in_parent, in_child);
}

} // namespace os
