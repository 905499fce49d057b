// The benchmark's measures: the blinker's phases and cost from the port's
// recorded history and the process accounting, Out32's cost, a watcher
// keeping up with a fast writer, and memory kept over reloads. They see the
// port as lptmon does, through watch.h, and the library as programs load it.
#include "measures.h"
#include "user_run.h"
#include "watch.h"
#include "watchers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

using namespace user_run;

namespace bench {
namespace {

out_fn out32 = nullptr;
void *library = nullptr;

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

bool load_library()
{
    library = dlopen(INPOUT32_PATH, RTLD_NOW);
    if (library == nullptr ||
        (out32 = reinterpret_cast<out_fn>(dlsym(library, "Out32"))) == nullptr) {
        fprintf(stderr, "blink_bench: cannot load %s\n", INPOUT32_PATH);
        return false;
    }
    return true;
}

void unload_library()
{
    dlclose(library);
}

// The blinker on a terminal, until `seconds` of blinking, then a key.
bool measure_blinker(const std::string &dir, int seconds, std::vector<Row> *rows)
{
    // Each run on a port of its own, so that the history is this run's.
    setenv("LPT_VIRTUAL_DIR", (dir + "/ports-" + std::to_string(watch::monotonic_ns())).c_str(), 1);
    const uint64_t started = watch::monotonic_ns();
    Pty pty(dir, std::vector<std::string>{LED_BLINK_PATH});
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
        return false;
    }
    std::vector<watch::Write> writes = history();
    if (writes.size() < 3 || writes.back().value != 0) {
        fprintf(stderr, "blink_bench: the blinker did not clear the port\n");
        return false;
    }
    std::vector<double> overshoot_us;
    for (size_t i = 1; i < writes.size(); ++i) {
        overshoot_us.push_back(
            static_cast<double>(writes[i].time_ns - writes[i - 1].time_ns) / 1e3 - 1e6);
    }
    const struct rusage &usage = pty.usage();
    const double cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const double run_s = static_cast<double>(writes.back().time_ns - started) / 1e9;
    char per_minute[80], whole[80];
    snprintf(per_minute, sizeof per_minute, "CPU time per minute of blinking, from %.0f s",
             blink_wall_s);
    snprintf(whole, sizeof whole, "CPU time of the whole %.0f s run, start-up too", run_s);
    *rows = {
        {"phases measured", static_cast<double>(overshoot_us.size()), "", -1,
         "--seconds, or a few more"},
        {"phase overshoot, median", median(overshoot_us), "us", 200},
        {"phase overshoot, worst", *std::max_element(overshoot_us.begin(), overshoot_us.end()),
         "us", -1, "lower; ms go unseen"},
        {per_minute, blink_cpu_s / blink_wall_s * 60 * 1e3, "ms", -1, "lower (scaled up)"},
        {"CPU share while blinking", blink_cpu_s / blink_wall_s * 100, "%", 0.05},
        {whole, cpu_s * 1e3, "ms", -1, "lower"},
        {"peak resident memory of LED_blink", static_cast<double>(usage.ru_maxrss) / 1024, "MiB",
         2},
        {"start to first port write", static_cast<double>(writes.front().time_ns - started) / 1e6,
         "ms", 10},
        {"key press to final 0 (waits for the cycle)",
         static_cast<double>(writes.back().time_ns - key_at) / 1e6, "ms", -1, "0 to 2000"},
        {"end of last phase to final 0", overshoot_us.back(), "us", -1, "as the median"},
    };
    return true;
}

// Out32 on the virtual port, through the library as the blinker loads it;
// again after a watcher was killed while it waited: it must leave writers
// nothing to pay for.
bool measure_out32(const std::string &dir, std::vector<Row> *rows)
{
    static bool initialized = false;
    if (!initialized) {
        int argc = 1;
        char name[] = "blink_bench", *argv[] = {name, nullptr};
        benchmark::Initialize(&argc, argv);
        initialized = true;
    }
    Collect collect;
    benchmark::RunSpecifiedBenchmarks(&collect);
    const double out32_ns = collect.out32_ns;
    {
        Pty watcher(dir, std::vector<std::string>{LPTMON_PATH, "--log"});
        watcher.wait_for("data", 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(watcher.pid(), SIGKILL);
        watcher.wait_exit(3000);
    }
    benchmark::RunSpecifiedBenchmarks(&collect);
    *rows = {{"Out32 on the virtual port", out32_ns, "ns", 100},
             {"Out32, after a watcher was killed", collect.out32_ns, "ns", 100}};
    return true;
}

// A watcher keeping up, as lptmon --vcd must: a burst of 10 ms at a real
// port's top speed, then 100 kHz for 3 s (10 s in the target use, cut to
// keep the run short).
bool measure_watcher(std::vector<Row> *rows)
{
    const Followed burst = follow_writer(out32, 1e6, 10000);
    const Followed sustained = follow_writer(out32, 1e5, 300000);
    *rows = {
        {"watcher: burst of 10000 writes, rate reached", burst.rate / 1e6, "M/s", -1, "", 1},
        {"watcher: writes lost of the burst", static_cast<double>(burst.lost), "", 0},
        {"watcher: 300000 writes in 3 s, rate reached", sustained.rate / 1e3, "k/s", -1, "", 100},
        {"watcher: writes lost of the 300000", static_cast<double>(sustained.lost), "", 0},
    };
    return true;
}

// lptmon --log itself, read as it comes, while this program writes as fast
// as it can for 3 s: it must go on talking, in bounded memory.
bool measure_log(std::vector<Row> *rows)
{
    const Logged logged = log_fast_writer(out32, 3);
    *rows = {{"lptmon --log, fast writer: longest silence", logged.silence_ms, "ms", 100},
             {"lptmon --log, fast writer: peak memory", logged.peak_mib, "MiB", 8}};
    return true;
}

// Loading and unloading the library again and again, as some programs do:
// the resident memory it leaves behind per thousand cycles.
bool measure_reloads(std::vector<Row> *rows)
{
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
    *rows = {{"memory kept per 1000 loads and unloads",
              static_cast<double>(resident_kb() - rss_before) * 1000 / cycles, "KiB", 64}};
    return true;
}

} // namespace bench
