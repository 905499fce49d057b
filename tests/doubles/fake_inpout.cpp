// A stand-in for the port I/O library that records every call, one line each,
// in the file named by FAKE_LPT_LOG: "<what> <port> <value> <monotonic ns>".
// Which entries it exports is chosen at build time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void record(const char *what, int port, int value)
{
    const char *path = getenv("FAKE_LPT_LOG");
    if (path == nullptr) {
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[128];
    int n = snprintf(line, sizeof line, "%s %d %d %lld\n", what, port, value,
                     static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    // One write per line with O_APPEND: a killed process leaves whole lines.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (write(fd, line, static_cast<size_t>(n)) != n) {
            perror("fake_inpout");
        }
        close(fd);
    }
}

__attribute__((constructor)) void loaded()
{
    record("load", 0, getpid());
}
__attribute__((destructor)) void unloaded()
{
    record("unload", 0, 0);
}

} // namespace

#ifdef FAKE_INP
FAKE_EXPORT short FAKE_INP(short portaddr)
{
    record("inp", portaddr, 0x5A);
    return 0x5A;
}
#endif

#ifdef FAKE_OUT
FAKE_EXPORT void FAKE_OUT(short portaddr, short datum)
{
    record("out", portaddr, datum);
}
#endif
