// A plain ppdev program, as Linux's parallel port programs are, for the
// emulated PC to run against lptdev and the kernel's own port:
//   ppdev_client DEVICE write VALUE...  claims, writes the data, releases;
//                                       SIGUSR1 interrupts a waiting claim
//   ppdev_client DEVICE hold VALUE      claims, writes, holds until stdin ends
//   ppdev_client DEVICE irq VALUE       claims, writes, waits in poll() for an
//                                       nAck interrupt, then writes VALUE+1
// Each line it prints is a step done, for the script to wait for.
#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int fd;

static void say(const char *text)
{
    printf("%s\n", text);
    fflush(stdout);
}

static int request(unsigned long number, const char *name, void *arg)
{
    if (ioctl(fd, number, arg) != 0) {
        printf("%s: %s\n", name, strerror(errno));
        exit(1);
    }
    return 0;
}

static void put(int value)
{
    unsigned char data = (unsigned char)value;
    request(PPWDATA, "PPWDATA", &data);
}

static void on_signal(int) {}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: ppdev_client DEVICE write|hold|irq VALUE...\n");
        return 2;
    }
    // No SA_RESTART: a signal ends a waiting claim with EINTR, as ppdev's.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGUSR1, &action, NULL);
    printf("pid %d\n", (int)getpid());
    fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        printf("open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    const char *mode = argv[2];
    say("claiming");
    request(PPCLAIM, "PPCLAIM", NULL);
    put((int)strtol(argv[3], NULL, 0));
    if (strcmp(mode, "write") == 0) {
        for (int i = 4; i < argc; ++i) {
            put((int)strtol(argv[i], NULL, 0));
        }
    } else if (strcmp(mode, "hold") == 0) {
        say("claimed");
        while (getchar() != EOF) {
        }
    } else if (strcmp(mode, "irq") == 0) {
        int count = 0;
        say("waiting");
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 120000) != 1) {
            say("no interrupt");
            return 1;
        }
        request(PPCLRIRQ, "PPCLRIRQ", &count);
        printf("interrupts %d\n", count);
        put((int)strtol(argv[3], NULL, 0) + 1);
    }
    request(PPRELEASE, "PPRELEASE", NULL);
    say("done");
    return 0;
}
