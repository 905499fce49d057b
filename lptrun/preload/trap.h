// The program's port instructions, carried out where they fault, and the
// program's own SIGSEGV handling kept working around ours.
#ifndef LPTRUN_TRAP_H
#define LPTRUN_TRAP_H

#include <dlfcn.h>
#include <signal.h>

namespace lptrun {

// Puts our SIGSEGV handler in place, keeping what the program inherited as
// its own disposition.
void install_trap();
// The program's own SIGSEGV disposition, which ours stands in front of.
void program_action(const struct sigaction *set, struct sigaction *old);
// The C library's own calls, past ours.
int real_sigaction(int signal, const struct sigaction *act, struct sigaction *old);
int real_sigmask(int how, const sigset_t *set, sigset_t *old);

// The C library's function of that name, found at the first call: another
// library's constructor may reach ours before our own has run.
template <typename Call> Call next(Call *found, const char *name)
{
    Call call = __atomic_load_n(found, __ATOMIC_ACQUIRE);
    if (call == nullptr) {
        call = reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(found, call, __ATOMIC_RELEASE);
    }
    return call;
}

} // namespace lptrun

#endif
