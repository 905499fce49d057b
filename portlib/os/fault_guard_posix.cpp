#include "fault_guard.h"
#include "mapping_table.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>

namespace fault_guard {
namespace {

MappingTable<int> guards; // the extra: whether it faulted
pthread_mutex_t guard_lock = PTHREAD_MUTEX_INITIALIZER;
struct sigaction previous_bus;
bool handler_installed = false;

void on_bus(int signal_number, siginfo_t *info, void *context)
{
    const int saved = errno;
    MappingTable<int>::Entry *guard = guards.find(info->si_addr);
    if (guard != nullptr) {
        mmap(reinterpret_cast<void *>(guard->start), guard->length, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        __atomic_store_n(&guard->extra, 1, __ATOMIC_RELEASE);
        errno = saved;
        return;
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

} // namespace

int add(void *start, size_t length)
{
    pthread_mutex_lock(&guard_lock);
    const int slot = guards.add(start, length, 0);
    if (slot >= 0 && !handler_installed) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = on_bus;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&action.sa_mask);
        handler_installed = sigaction(SIGBUS, &action, &previous_bus) == 0;
    }
    pthread_mutex_unlock(&guard_lock);
    return slot;
}

void remove(int slot)
{
    if (slot < 0) {
        return;
    }
    pthread_mutex_lock(&guard_lock);
    guards.remove(slot);
    if (guards.empty() && handler_installed) {
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

bool faulted(int slot)
{
    return slot >= 0 && __atomic_load_n(&guards.entries[slot].extra, __ATOMIC_ACQUIRE) != 0;
}

} // namespace fault_guard
