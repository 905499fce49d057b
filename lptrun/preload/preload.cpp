// The preloaded library of lptrun: the program's ports, with no leave asked
// of the kernel. What the program calls to reach them is answered here:
// ioperm and iopl, and its own SIGSEGV handling, which ours stands in front
// of.
#include "io_space.h"
#include "trap.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Said once: the program would otherwise die at its next port instruction.
void keep_unblocked(sigset_t *set)
{
    static bool told = false;
    if (!__atomic_exchange_n(&told, true, __ATOMIC_RELAXED)) {
        lptrun::say("the program blocks SIGSEGV, through which its in/out instructions reach the "
                    "virtual port; lptrun keeps SIGSEGV unblocked");
    }
    sigdelset(set, SIGSEGV);
}

__attribute__((constructor)) void start()
{
    lptrun::read_port_addresses();
    lptrun::install_trap();
    pthread_atfork(nullptr, nullptr, lptrun::forget_dropped);
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    lptrun::real_sigmask(SIG_UNBLOCK, &segv, nullptr);
}

__attribute__((destructor)) void end()
{
    lptrun::say_dropped();
}

// signal() and its kin for SIGSEGV, as the C library makes them.
sighandler_t set_handler(sighandler_t handler, int flags)
{
    struct sigaction set = {}, old;
    set.sa_handler = handler;
    set.sa_flags = flags;
    sigemptyset(&set.sa_mask);
    lptrun::program_action(&set, &old);
    // A handler set with SA_SIGINFO comes back as the address it has.
    return (old.sa_flags & SA_SIGINFO) != 0
               ? reinterpret_cast<sighandler_t>(reinterpret_cast<void *>(old.sa_sigaction))
               : old.sa_handler;
}

} // namespace

// Granted without asking the kernel, so that every port instruction still
// faults and comes to us; the kernel's own checks of the arguments kept.
EXPORT int ioperm(unsigned long from, unsigned long count, int)
{
    if (from > 0x10000 || count > 0x10000 - from) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

EXPORT int iopl(int level)
{
    if (level < 0 || level > 3) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

EXPORT int sigaction(int signal, const struct sigaction *act, struct sigaction *old)
{
    if (signal != SIGSEGV) {
        // Not blocked in another signal's handler either: a port
        // instruction there would end the program.
        struct sigaction copy;
        if (act != nullptr) {
            copy = *act;
            sigdelset(&copy.sa_mask, SIGSEGV);
            act = &copy;
        }
        return lptrun::real_sigaction(signal, act, old);
    }
    lptrun::program_action(act, old);
    return 0;
}

EXPORT sighandler_t signal(int signal, sighandler_t handler)
{
    static sighandler_t (*call)(int, sighandler_t);
    if (signal != SIGSEGV) {
        return lptrun::next(&call, "signal")(signal, handler);
    }
    if (handler == SIG_ERR) {
        errno = EINVAL;
        return SIG_ERR;
    }
    return set_handler(handler, SA_RESTART);
}

EXPORT sighandler_t bsd_signal(int signal, sighandler_t handler)
{
    static sighandler_t (*call)(int, sighandler_t);
    if (signal != SIGSEGV) {
        return lptrun::next(&call, "bsd_signal")(signal, handler);
    }
    return set_handler(handler, SA_RESTART);
}

EXPORT sighandler_t sysv_signal(int signal, sighandler_t handler)
{
    static sighandler_t (*call)(int, sighandler_t);
    if (signal != SIGSEGV) {
        return lptrun::next(&call, "sysv_signal")(signal, handler);
    }
    return set_handler(handler, SA_RESETHAND | SA_NODEFER);
}

EXPORT int pthread_sigmask(int how, const sigset_t *set, sigset_t *old)
{
    sigset_t copy;
    if (set != nullptr && how != SIG_UNBLOCK && sigismember(set, SIGSEGV) == 1) {
        copy = *set;
        keep_unblocked(&copy);
        set = &copy;
    }
    return lptrun::real_sigmask(how, set, old);
}

EXPORT int sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
    const int error = pthread_sigmask(how, set, old);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}
