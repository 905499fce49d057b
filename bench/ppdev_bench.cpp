// A ppdev request's round trip through a device, for the emulated PC's run
// (tests/emulated_pc): PPWDATA, which writes the port, against PPGETMODE,
// which touches nothing and so is the round trip's own floor; on lptdev's
// device and, for scale, on the kernel's driver of a real port.
// Usage: ppdev_bench DEVICE COUNT; prints microseconds per request.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: ppdev_bench DEVICE COUNT\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR);
    if (fd < 0 || ioctl(fd, PPCLAIM) != 0) {
        perror(argv[1]);
        return 1;
    }
    // Each in turn, after a round of both untimed: an emulator's first run
    // of a path costs it translating the code.
    const int count = atoi(argv[2]) / 10;
    unsigned char data = 0;
    int mode = 0;
    double spent[2] = {0, 0};
    for (int round = 0; round < 11; ++round) {
        for (int which = 0; which < 2; ++which) {
            const double start = now_us();
            for (int i = 0; i < count; ++i) {
                if (ioctl(fd, which == 0 ? PPWDATA : PPGETMODE,
                          which == 0 ? (void *)&data : &mode) != 0) {
                    perror(which == 0 ? "PPWDATA" : "PPGETMODE");
                    return 1;
                }
            }
            spent[which] += round == 0 ? 0 : now_us() - start;
        }
    }
    printf("PPWDATA %.1f us, PPGETMODE %.1f us\n", spent[0] / (count * 10),
           spent[1] / (count * 10));
    ioctl(fd, PPRELEASE);
    return 0;
}
