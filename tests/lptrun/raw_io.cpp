// A program that reaches the port the old way: ioperm, then in and out
// instructions of every form, as lptrun must carry them out. Built for
// x86-64, i386 and statically. Each mode prints what it read.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>
#include <ucontext.h>

namespace {

#if defined(__x86_64__)
const int ip = REG_RIP;
#else
const int ip = REG_EIP;
#endif

void outb(uint8_t v, uint16_t port)
{
    asm volatile("outb %b0, %w1" ::"a"(v), "d"(port));
}
void outw(uint16_t v, uint16_t port)
{
    asm volatile("outw %w0, %w1" ::"a"(v), "d"(port));
}
void outl(uint32_t v, uint16_t port)
{
    asm volatile("outl %0, %w1" ::"a"(v), "d"(port));
}
uint8_t inb(uint16_t port)
{
    uint8_t v;
    asm volatile("inb %w1, %b0" : "=a"(v) : "d"(port));
    return v;
}
uint16_t inw(uint16_t port)
{
    uint16_t v;
    asm volatile("inw %w1, %w0" : "=a"(v) : "d"(port));
    return v;
}
uint32_t inl(uint16_t port)
{
    uint32_t v;
    asm volatile("inl %w1, %0" : "=a"(v) : "d"(port));
    return v;
}

// rep outsb/insb over `n` bytes, downwards when `down`; whether SI or DI
// and CX ended where the processor leaves them.
bool rep_outsb(const uint8_t *from, size_t n, uint16_t port, bool down)
{
    const uint8_t *p = from;
    size_t count = n;
    if (down) {
        asm volatile("std; rep outsb; cld" : "+S"(p), "+c"(count) : "d"(port) : "memory");
    } else {
        asm volatile("rep outsb" : "+S"(p), "+c"(count) : "d"(port) : "memory");
    }
    const uintptr_t end = reinterpret_cast<uintptr_t>(from) + (down ? -n : n);
    return count == 0 && reinterpret_cast<uintptr_t>(p) == end;
}

bool rep_insb(uint8_t *to, size_t n, uint16_t port)
{
    uint8_t *p = to;
    size_t count = n;
    asm volatile("rep insb" : "+D"(p), "+c"(count) : "d"(port) : "memory");
    return count == 0 && p == to + n;
}

void forms()
{
    outb(0x11, 0x378);
    asm volatile("outb %b0, $0x78" ::"a"(uint8_t{0x22}));
    outw(0x0433, 0x378);
    outl(0xAABBCC44, 0x378);
    const uint8_t up[] = {0x01, 0x02, 0x04, 0x08}, down[] = {0x10, 0x20};
    const bool rep_up = rep_outsb(up, sizeof up, 0x378, false);
    const bool rep_down = rep_outsb(down + 1, sizeof down, 0x378, true);
    const uint16_t word = 0x0666;
    const uint16_t *from = &word;
    asm volatile("outsw" : "+S"(from) : "d"(uint16_t{0x378}) : "memory");
    uint8_t status[3] = {};
    const bool rep_in = rep_insb(status, sizeof status, 0x379);
    uint8_t imm;
    asm volatile("inb $0x79, %b0" : "=a"(imm));
    asm volatile("outb %b0, $0x80" ::"a"(uint8_t{0}));
    uint8_t unused;
    asm volatile("inb $0x80, %b0" : "=a"(unused));
    uint32_t dword = 0, *to = &dword;
    asm volatile("insl" : "+D"(to) : "d"(uint16_t{0x378}) : "memory");
    printf("inb %02X inw %04X inl %08X imm %02X 0x80 %02X insb %02X%02X%02X insl %08X rep %d%d%d\n",
           inb(0x379), inw(0x378), inl(0x378), imm, unused, status[0], status[1], status[2], dword,
           rep_up, rep_down, rep_in);
}

volatile int faults = 0;
void skip_hlt(int, siginfo_t *, void *context)
{
    ucontext_t *uc = static_cast<ucontext_t *>(context);
    uc->uc_mcontext.gregs[ip] += 1; // hlt is one byte
    ++faults;
}

// Its own handler sees its own faults only; the ports still work.
void own_handler()
{
    struct sigaction set = {}, back;
    set.sa_sigaction = skip_hlt;
    set.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &set, nullptr);
    outb(0x5A, 0x378);
    asm volatile("hlt");
    outb(0xA5, 0x378);
    sigaction(SIGSEGV, nullptr, &back);
    printf("faults %d, handler %s\n", faults, back.sa_sigaction == skip_hlt ? "kept" : "lost");
    fflush(stdout);
    signal(SIGSEGV, SIG_DFL);
    *static_cast<volatile int *>(nullptr) = 1; // ends the program as without lptrun
}

void *count_on(void *reg)
{
    const uint16_t port = static_cast<uint16_t>(0x378 + reinterpret_cast<uintptr_t>(reg));
    for (unsigned i = 0; i < 1000; ++i) {
        outb(static_cast<uint8_t>(i), port);
    }
    return nullptr;
}

void two_threads()
{
    pthread_t other;
    pthread_create(&other, nullptr, count_on, reinterpret_cast<void *>(2));
    count_on(nullptr);
    pthread_join(other, nullptr);
    puts("counted");
}

void blocks()
{
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    sigprocmask(SIG_BLOCK, &segv, nullptr);
    outb(0x42, 0x378);
    puts("wrote");
}

// The same port through ppdev, on a duplicate of the descriptor; the time
// out in the program's own timeval, 32 or 64 bits wide.
void ppdev()
{
    const int opened = open("/dev/parport0", O_RDWR);
    const int fd = dup(opened);
    close(opened);
    unsigned char value = 0x77, status = 0;
    timeval time = {1, 500000};
    if (ioctl(fd, PPCLAIM) != 0 || ioctl(fd, PPWDATA, &value) != 0 ||
        ioctl(fd, PPRSTATUS, &status) != 0 || ioctl(fd, PPSETTIME, &time) != 0) {
        perror("ppdev");
    }
    time = {};
    ioctl(fd, PPGETTIME, &time);
    printf("status %02x time %ld.%06ld\n", status, static_cast<long>(time.tv_sec),
           static_cast<long>(time.tv_usec));
}

} // namespace

int main(int argc, char **argv)
{
    if (ioperm(0x378, 3, 1) != 0 || ioperm(0x78, 2, 1) != 0 || ioperm(0x80, 1, 1) != 0) {
        perror("ioperm");
        return 1;
    }
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "forms") == 0) {
        forms();
    } else if (strcmp(mode, "handler") == 0) {
        own_handler();
    } else if (strcmp(mode, "threads") == 0) {
        two_threads();
    } else if (strcmp(mode, "ppdev") == 0) {
        ppdev();
    } else if (strcmp(mode, "block") == 0) {
        blocks();
    } else {
        return 2;
    }
    return 0;
}
