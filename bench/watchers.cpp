// The benchmark's watchers of a writer at full speed or at a set rate:
// one in this program that follows the port through watch.h as a trace
// does, and lptmon --log itself.
#include "watchers.h"
#include "watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

Followed follow_writer(out_fn out32, double rate, uint64_t count)
{
    Followed result;
    watch::Port *port = nullptr;
    char why[1024];
    if (watch::open(0x3BC, &port, why, sizeof why) != watch::opened) {
        fprintf(stderr, "blink_bench: %s\n", why);
        result.lost = count;
        return result;
    }
    const uint64_t first = watch::write_count(port);
    std::atomic<bool> done{false};
    std::thread busy([&] {
        for (volatile uint64_t spin = 0; !done; spin = spin + 1) {
        }
    });
    std::thread writer([&] {
        const uint64_t start = watch::monotonic_ns(), period = static_cast<uint64_t>(1e9 / rate);
        for (uint64_t i = 0; i < count; ++i) {
            while (watch::monotonic_ns() < start + i * period) {
            }
            out32(0x3BC, static_cast<short>(i & 0xFF));
        }
        result.rate =
            static_cast<double>(count) / (static_cast<double>(watch::monotonic_ns() - start) / 1e9);
        done = true;
    });
    static watch::Write writes[4096];
    for (uint64_t after = first; after < first + count;) {
        const uint32_t seen = watch::changes(port);
        uint64_t missed = 0;
        const size_t n = watch::writes_after(port, after, writes, 4096, &missed);
        result.lost += missed;
        after += missed;
        result.read += n;
        after = n > 0 ? writes[n - 1].number : after;
        if (n == 0 && missed == 0) {
            if (done && watch::write_count(port) <= after) {
                break; // the writer lost some on its way (none expected)
            }
            watch::wait_for_write(port, seen, 10);
        } else {
            // Writes are coming: a nap, well within what the history
            // holds, instead of a wait that each next write would pay to
            // end.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    writer.join();
    done = true;
    busy.join();
    result.written = watch::write_count(port) - first;
    result.lost += result.written - result.read - result.lost;
    watch::close(port);
    return result;
}

Logged log_fast_writer(out_fn out32, double seconds)
{
    Logged result;
    int out[2];
    if (pipe(out) != 0) {
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(LPTMON_PATH, LPTMON_PATH, "--log", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (short value = 0; !done; value = static_cast<short>((value + 1) & 0xFF)) {
            out32(0x3BC, value);
        }
    });
    // From the writer's start, lptmon's own start included.
    const uint64_t start = watch::monotonic_ns();
    const uint64_t end = start + static_cast<uint64_t>(seconds * 1e9);
    uint64_t last = start, now = start;
    static char buffer[1 << 16];
    for (; now < end; now = watch::monotonic_ns()) {
        struct pollfd ready = {out[0], POLLIN, 0};
        if (poll(&ready, 1, 10) == 1 && read(out[0], buffer, sizeof buffer) > 0) {
            now = watch::monotonic_ns();
            result.silence_ms = std::max(result.silence_ms, static_cast<double>(now - last) / 1e6);
            last = now;
        }
    }
    result.silence_ms = std::max(result.silence_ms, static_cast<double>(now - last) / 1e6);
    done = true;
    writer.join();
    kill(pid, SIGTERM);
    while (read(out[0], buffer, sizeof buffer) > 0) {
    }
    close(out[0]);
    int status = 0;
    struct rusage usage = {};
    if (wait4(pid, &status, 0, &usage) == pid) {
        result.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024;
    }
    return result;
}
