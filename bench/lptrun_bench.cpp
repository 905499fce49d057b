// What lptrun costs a program: a port instruction carried out against one
// its library leaves to the program's own handler (the kernel's fault
// delivery is the floor of both), and a ppdev write through it against
// Out32. Runs itself under lptrun, as the user (lptrun refuses root).
//
//   lptrun_bench
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

const int rounds = 5, count = 20000;

double now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

// The best of a few rounds, per call: the machine is shared.
template <typename Call> double ns_per_call(Call call)
{
    double best = 1e18;
    for (int round = 0; round < rounds; ++round) {
        const double start = now_ns();
        for (int i = 0; i < count; ++i) {
            call(i);
        }
        const double took = (now_ns() - start) / count;
        best = took < best ? took : best;
    }
    return best;
}

// The program's own handler for an instruction not ours: steps over hlt.
void skip_hlt(int, siginfo_t *, void *context)
{
#if defined(__x86_64__)
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP] += 1;
#else
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_EIP] += 1;
#endif
}

} // namespace

int main(int, char **argv)
{
    if (getenv("LPTRUN_PORTS") == nullptr) {
        if (geteuid() == 0) {
            fprintf(stderr, "lptrun_bench: lptrun refuses root; run it as your own user\n");
            return 0; // not measured, nothing missed
        }
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        self[n > 0 ? n : 0] = '\0';
        execl(LPTRUN_PATH, "lptrun", self, static_cast<char *>(nullptr));
        perror(LPTRUN_PATH);
        return 1;
    }
    (void)argv;
    struct sigaction own = {};
    own.sa_sigaction = skip_hlt;
    own.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &own, nullptr);
    ioperm(0x378, 3, 1);
    const double outb_ns = ns_per_call([](int i) {
        asm volatile("outb %b0, %w1" ::"a"(static_cast<unsigned char>(i)), "d"(0x378));
    });
    const double hlt_ns = ns_per_call([](int) { asm volatile("hlt"); });

    const int fd = open("/dev/parport0", O_RDWR);
    if (fd < 0 || ioctl(fd, PPCLAIM) != 0) {
        perror("lptrun_bench: /dev/parport0");
        return 1;
    }
    const double ppwdata_ns = ns_per_call([fd](int i) {
        unsigned char value = static_cast<unsigned char>(i);
        ioctl(fd, PPWDATA, &value);
    });
    setenv("LPT_BACKEND", "virtual", 1);
    void *library = dlopen(INPOUT32_PATH, RTLD_NOW);
    auto out32 =
        library ? reinterpret_cast<void (*)(short, short)>(dlsym(library, "Out32")) : nullptr;
    if (out32 == nullptr) {
        fprintf(stderr, "lptrun_bench: cannot load %s\n", INPOUT32_PATH);
        return 1;
    }
    const double out32_ns =
        ns_per_call([out32](int i) { out32(0x378, static_cast<short>(i & 0xFF)); });

    struct Row {
        const char *what;
        double value, target;
    } rows[] = {
        {"trapped outb, ns", outb_ns, -1},
        {"trapped hlt left to the program, ns", hlt_ns, -1},
        {"trapped outb / trapped hlt", outb_ns / hlt_ns, 1.25},
        {"PPWDATA through lptrun, ns", ppwdata_ns, -1},
        {"Out32, ns", out32_ns, -1},
        {"PPWDATA through lptrun / Out32", ppwdata_ns / out32_ns, 2},
    };
    bool met = true;
    printf("\n%-40s %10s %8s\n", "lptrun", "value", "target");
    for (const Row &row : rows) {
        char target[16] = "";
        if (row.target >= 0) {
            snprintf(target, sizeof target, "<= %g", row.target);
            met = met && row.value <= row.target;
        }
        printf("%-40s %10.3f %8s  %s\n", row.what, row.value, target,
               row.target < 0            ? ""
               : row.value <= row.target ? "ok"
                                         : "MISSED");
    }
    printf("\n%s\n", met ? "all targets met" : "some targets missed");
    return met ? 0 : 1;
}
