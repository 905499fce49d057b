#include "trap.h"
#include "decode.h"
#include "io_space.h"
#include "os.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <ucontext.h>

namespace lptrun {
namespace {

#if defined(__x86_64__)
const bool long_mode = true;
enum { IP = REG_RIP, AX = REG_RAX, CX = REG_RCX, DX = REG_RDX, SI = REG_RSI, DI = REG_RDI };
#else
const bool long_mode = false;
enum { IP = REG_EIP, AX = REG_EAX, CX = REG_ECX, DX = REG_EDX, SI = REG_ESI, DI = REG_EDI };
#endif
const uintptr_t direction_flag = 0x400;

// The program's SIGSEGV disposition. Set from the program's threads while
// ours may run on another; a lock would let a fault inside sigaction wait on
// itself, so a word of generation numbers guards the copy instead.
struct sigaction theirs;
unsigned theirs_generation = 0; // odd while being changed
os::Mutex theirs_changing = LPT_MUTEX_INITIALIZER;

struct sigaction their_action()
{
    struct sigaction copy;
    unsigned before;
    do {
        before = __atomic_load_n(&theirs_generation, __ATOMIC_ACQUIRE);
        memcpy(&copy, &theirs, sizeof copy);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
    } while ((before & 1) != 0 || before != __atomic_load_n(&theirs_generation, __ATOMIC_RELAXED));
    return copy;
}

uintptr_t get(const ucontext_t *uc, int reg)
{
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[reg]);
}

void set(ucontext_t *uc, int reg, uintptr_t value)
{
    uc->uc_mcontext.gregs[reg] = static_cast<greg_t>(value);
}

uint32_t port_in(uint16_t port, unsigned size)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(in_byte(static_cast<uint16_t>(port + i))) << 8 * i;
    }
    return value;
}

// A wider access reaches the consecutive byte ports, low byte first, as the
// bus splits it for an eight-bit device.
void port_out(uint16_t port, uint32_t value, unsigned size)
{
    for (unsigned i = 0; i < size; ++i) {
        out_byte(static_cast<uint16_t>(port + i), static_cast<uint8_t>(value >> 8 * i), via_in_out);
    }
}

// A register of `bits` width advanced by `step`, as the processor keeps it:
// the rest of a 16-bit register kept, a 32-bit one zero-extended.
uintptr_t advanced(uintptr_t value, intptr_t step, unsigned bits)
{
    if (bits >= sizeof(uintptr_t) * 8) {
        return value + step;
    }
    const uintptr_t mask = (uintptr_t{1} << bits) - 1;
    const uintptr_t moved = (value + step) & mask;
    return bits == 32 ? moved : (value & ~mask) | moved;
}

// Carries out a port instruction at the faulting instruction pointer; false
// when it is none.
bool carry_out(ucontext_t *uc)
{
    PortInstruction d;
    const uint8_t *code = reinterpret_cast<const uint8_t *>(get(uc, IP));
    if (!decode(code, 15, long_mode, &d)) {
        return false;
    }
    const uint16_t port = d.immediate ? d.port : static_cast<uint16_t>(get(uc, DX));
    const uintptr_t ax = get(uc, AX);
    if (d.kind == PortInstruction::in) {
        const uintptr_t value = port_in(port, d.size);
        const uintptr_t kept = d.size == 1   ? ~uintptr_t{0xFF}
                               : d.size == 2 ? ~uintptr_t{0xFFFF}
                                             : 0;
        set(uc, AX, (ax & kept) | value);
    } else if (d.kind == PortInstruction::out) {
        port_out(port, static_cast<uint32_t>(ax), d.size);
    } else {
        const uintptr_t mask = d.addr_bits >= sizeof(uintptr_t) * 8
                                   ? ~uintptr_t{0}
                                   : (uintptr_t{1} << d.addr_bits) - 1;
        uintptr_t count = d.repeated ? get(uc, CX) & mask : 1;
        const bool down =
            (static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EFL]) & direction_flag) != 0;
        const intptr_t stride =
            down ? -static_cast<intptr_t>(d.size) : static_cast<intptr_t>(d.size);
        const int pointer = d.kind == PortInstruction::ins ? DI : SI;
        uintptr_t at = get(uc, pointer);
        for (; count > 0; --count) {
            uint8_t *memory = reinterpret_cast<uint8_t *>(at & mask);
            if (d.kind == PortInstruction::ins) {
                const uint32_t value = port_in(port, d.size);
                memcpy(memory, &value, d.size);
            } else {
                uint32_t value = 0;
                memcpy(&value, memory, d.size);
                port_out(port, value, d.size);
            }
            at = advanced(at, stride, d.addr_bits);
        }
        set(uc, pointer, at);
        if (d.repeated) {
            set(uc, CX,
                advanced(get(uc, CX), -static_cast<intptr_t>(get(uc, CX) & mask), d.addr_bits));
        }
    }
    set(uc, IP, get(uc, IP) + d.length);
    return true;
}

// A fault that is not ours, as the program asked for it: its handler, or
// the end the kernel gives a fault with none (a fault cannot be ignored).
void chain(int signal, siginfo_t *info, void *context)
{
    struct sigaction action = their_action();
    const bool sent = info->si_code <= 0; // by kill() or raise(), not a fault
    if (action.sa_handler == SIG_IGN && sent) {
        return;
    }
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) {
        struct sigaction fatal = {};
        fatal.sa_handler = SIG_DFL;
        real_sigaction(SIGSEGV, &fatal, nullptr);
        if (sent) {
            raise(SIGSEGV); // delivered as we return
        }
        return; // the instruction runs again and ends the program
    }
    if ((action.sa_flags & SA_RESETHAND) != 0) {
        struct sigaction reset = {};
        reset.sa_handler = SIG_DFL;
        program_action(&reset, nullptr);
    }
    sigset_t before;
    real_sigmask(SIG_BLOCK, &action.sa_mask, &before);
    if ((action.sa_flags & SA_SIGINFO) != 0) {
        action.sa_sigaction(signal, info, context);
    } else {
        action.sa_handler(signal);
    }
    real_sigmask(SIG_SETMASK, &before, nullptr);
}

void on_fault(int signal, siginfo_t *info, void *context)
{
    const int saved_errno = errno;
    // A port instruction without the kernel's leave faults as a general
    // protection fault, which the kernel reports with SI_KERNEL.
    if (!(info->si_code == SI_KERNEL && carry_out(static_cast<ucontext_t *>(context)))) {
        chain(signal, info, context);
    }
    errno = saved_errno;
}

} // namespace

int real_sigaction(int signal, const struct sigaction *act, struct sigaction *old)
{
    static int (*call)(int, const struct sigaction *, struct sigaction *);
    return next(&call, "sigaction")(signal, act, old);
}

int real_sigmask(int how, const sigset_t *set, sigset_t *old)
{
    static int (*call)(int, const sigset_t *, sigset_t *);
    return next(&call, "pthread_sigmask")(how, set, old);
}

void program_action(const struct sigaction *set, struct sigaction *old)
{
    // The program's memory is read and written outside the copy's change:
    // a bad pointer faults there, not while the copy is half made, which
    // our handler would wait on for ever.
    struct sigaction given;
    if (set != nullptr) {
        given = *set;
    }
    os::lock(&theirs_changing);
    const struct sigaction before = their_action();
    if (set != nullptr) {
        __atomic_fetch_add(&theirs_generation, 1, __ATOMIC_ACQ_REL);
        memcpy(&theirs, &given, sizeof theirs);
        __atomic_fetch_add(&theirs_generation, 1, __ATOMIC_RELEASE);
    }
    os::unlock(&theirs_changing);
    if (old != nullptr) {
        *old = before;
    }
}

void install_trap()
{
    struct sigaction ours = {};
    ours.sa_sigaction = on_fault;
    // On the program's alternate stack when it has one: it may have it for
    // a stack overflow, which arrives here first.
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    real_sigaction(SIGSEGV, &ours, &theirs);
}

} // namespace lptrun
