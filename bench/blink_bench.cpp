// Benchmark of the blinker on the virtual port: how well it keeps its one
// second phases and what it costs, measured from the port's recorded history
// and the process accounting, plus the cost of one Out32 call, and whether a
// watcher keeps up with a fast writer. It sees the port as lptmon does,
// through watch.h, and the library as programs load it.
//
//   blink_bench [--seconds N]     (default 30 seconds of blinking)
#include "user_run.h"
#include "watch.h"
#include "watchers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

using namespace user_run;

namespace {

out_fn out32 = nullptr;

void BM_Out32(benchmark::State &state)
{
    short value = 1;
    for (auto _ : state) {
        out32(0x3BC, value);
        value ^= 3; // 1, 2, 1, 2, as the blinker writes
    }
}
BENCHMARK(BM_Out32);

// Keeps the time per call of each benchmark run, by name.
class Collect : public benchmark::BenchmarkReporter {
  public:
    double out32_ns = 0;
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            out32_ns = run.GetAdjustedRealTime(); // in the run's time unit: ns
        }
    }
};

struct Row {
    std::string what;
    double value;
    const char *unit;
    double target; // < 0: none
};

std::vector<watch::Write> history()
{
    watch::Port *port = nullptr;
    char why[1024];
    std::vector<watch::Write> writes;
    if (watch::open(0x3BC, &port, why, sizeof why) == watch::opened) {
        static watch::Write buffer[watch::history_length];
        size_t n = watch::recent_writes(port, buffer, watch::history_length);
        writes.assign(buffer, buffer + n);
        watch::close(port);
    }
    return writes;
}

// Time the process has run on a CPU, in ns (the scheduler's own account).
uint64_t cpu_ns(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/schedstat");
    return strtoull(stat.c_str(), nullptr, 10);
}

long resident_kb()
{
    std::string status = read_file("/proc/self/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    const char help[] = "usage: blink_bench [--seconds N]\n"
                        "  --seconds N  seconds of blinking to measure, at least 4 (default 30)\n";
    int seconds = 30;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(help, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--seconds") != 0) {
            fprintf(stderr, "blink_bench: unknown argument: %s\n%s", argv[i], help);
            return 2;
        }
        if (i + 1 == argc) {
            fprintf(stderr, "blink_bench: --seconds needs a number\n%s", help);
            return 2;
        }
        char *end;
        errno = 0;
        long value = strtol(argv[++i], &end, 10);
        if (errno != 0 || end == argv[i] || *end != '\0' || value < 4 || value > 86400) {
            fprintf(stderr,
                    "blink_bench: --seconds wants a whole number from 4 to 86400, not %s\n%s",
                    argv[i], help);
            return 2;
        }
        seconds = static_cast<int>(value);
    }
    TempDir dir;
    setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1);
    setenv("LPT_BACKEND", "virtual", 1);

    // The blinker on a terminal, until `seconds` of blinking, then a key.
    const uint64_t started = watch::monotonic_ns();
    Pty pty(dir.path, std::vector<std::string>{LED_BLINK_PATH});
    const size_t phases = static_cast<size_t>(seconds);
    while (history().empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The cost of blinking, start-up left out.
    const uint64_t blinking_from = watch::monotonic_ns(), cpu_from = cpu_ns(pty.pid());
    while (history().size() < phases + 1 && !pty.wait_exit(0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double blink_cpu_s = static_cast<double>(cpu_ns(pty.pid()) - cpu_from) / 1e9;
    const double blink_wall_s = static_cast<double>(watch::monotonic_ns() - blinking_from) / 1e9;
    // The key comes just after a pattern 1 is shown: the cycle then has about
    // two seconds to run before the key is seen.
    while (history().empty() || history().back().value != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const uint64_t key_at = watch::monotonic_ns();
    pty.send("k");
    if (!pty.wait_exit(5000)) {
        fprintf(stderr, "blink_bench: the blinker did not end after a key press\n");
        return 1;
    }
    std::vector<watch::Write> writes = history();
    if (writes.size() < 3 || writes.back().value != 0) {
        fprintf(stderr, "blink_bench: the blinker did not clear the port\n");
        return 1;
    }

    std::vector<double> overshoot_us;
    for (size_t i = 1; i < writes.size(); ++i) {
        overshoot_us.push_back(
            static_cast<double>(writes[i].time_ns - writes[i - 1].time_ns) / 1e3 - 1e6);
    }
    const struct rusage &usage = pty.usage();
    const double cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;

    // Out32 on the virtual port, through the library as the blinker loads it.
    void *library = dlopen(INPOUT32_PATH, RTLD_NOW);
    if (library == nullptr ||
        (out32 = reinterpret_cast<out_fn>(dlsym(library, "Out32"))) == nullptr) {
        fprintf(stderr, "blink_bench: cannot load %s\n", INPOUT32_PATH);
        return 1;
    }
    int bench_argc = 1;
    benchmark::Initialize(&bench_argc, argv);
    Collect collect;
    benchmark::RunSpecifiedBenchmarks(&collect);
    const double out32_ns = collect.out32_ns;

    // The same after a watcher was killed while it waited: it must leave
    // writers nothing to pay for.
    {
        Pty watcher(dir.path, std::vector<std::string>{LPTMON_PATH, "--log"});
        watcher.wait_for("data", 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(watcher.pid(), SIGKILL);
        watcher.wait_exit(3000);
    }
    benchmark::RunSpecifiedBenchmarks(&collect);
    const double out32_after_kill_ns = collect.out32_ns;

    // A watcher keeping up, as lptmon --vcd must: a burst of 10 ms at a real
    // port's top speed, then 100 kHz for 3 s (10 s in the target use, cut
    // to keep the run short).
    const Followed burst = follow_writer(out32, 1e6, 10000);
    const Followed sustained = follow_writer(out32, 1e5, 300000);
    const Logged logged = log_fast_writer(out32, 3);
    dlclose(library);

    // Loading and unloading the library again and again, as some programs
    // do: the resident memory it leaves behind per thousand cycles.
    const int cycles = 2000;
    long rss_before = 0;
    for (int cycle = 0; cycle < cycles + 200; ++cycle) {
        if (cycle == 200) {
            rss_before = resident_kb();
        }
        void *again = dlopen(INPOUT32_PATH, RTLD_NOW | RTLD_LOCAL);
        reinterpret_cast<out_fn>(dlsym(again, "Out32"))(0x3BC, 1);
        dlclose(again);
    }
    const double growth_kb = static_cast<double>(resident_kb() - rss_before) * 1000 / cycles;

    const std::vector<Row> rows = {
        {"phases measured", static_cast<double>(overshoot_us.size()), "", -1},
        {"phase overshoot, median", median(overshoot_us), "us", 200},
        {"phase overshoot, worst", *std::max_element(overshoot_us.begin(), overshoot_us.end()),
         "us", -1},
        {"CPU time per minute of blinking", blink_cpu_s / blink_wall_s * 60 * 1e3, "ms", -1},
        {"CPU share while blinking", blink_cpu_s / blink_wall_s * 100, "%", 0.05},
        {"CPU time of the whole run, start-up included", cpu_s * 1e3, "ms", -1},
        {"peak resident memory of LED_blink", static_cast<double>(usage.ru_maxrss) / 1024, "MiB",
         2},
        {"start to first port write", static_cast<double>(writes.front().time_ns - started) / 1e6,
         "ms", 10},
        {"key press to final 0 (waits for the cycle)",
         static_cast<double>(writes.back().time_ns - key_at) / 1e6, "ms", -1},
        {"end of last phase to final 0", overshoot_us.back(), "us", -1},
        {"Out32 on the virtual port", out32_ns, "ns", 100},
        {"Out32, after a watcher was killed", out32_after_kill_ns, "ns", 100},
        {"memory kept per 1000 loads and unloads", growth_kb, "KiB", 64},
        {"watcher: 10 ms burst at 1 M writes/s, reached", burst.rate / 1e6, "M/s", -1},
        {"watcher: writes lost of the burst", static_cast<double>(burst.lost), "", 0},
        {"watcher: 100 kHz for 3 s, reached", sustained.rate / 1e3, "k/s", -1},
        {"watcher: writes lost of the 100 kHz", static_cast<double>(sustained.lost), "", 0},
        {"lptmon --log, fast writer: longest silence", logged.silence_ms, "ms", 100},
        {"lptmon --log, fast writer: peak memory", logged.peak_mib, "MiB", 8},
    };
    printf("\n%-44s %12s  %-4s %10s  %s\n", "measure", "value", "unit", "target", "");
    bool all_met = true;
    for (const Row &row : rows) {
        char target[32] = "";
        const char *mark = "";
        if (row.target >= 0) {
            snprintf(target, sizeof target, "<= %g", row.target);
            bool met = row.value <= row.target;
            all_met = all_met && met;
            mark = met ? "ok" : "MISSED";
        }
        printf("%-44s %12.3f  %-4s %10s  %s\n", row.what.c_str(), row.value, row.unit, target,
               mark);
    }
    printf("\n%s\n", all_met ? "all targets met" : "some targets missed");
    return 0;
}
