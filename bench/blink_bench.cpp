// Benchmark of the blinker on the virtual port: how well it keeps its one
// second phases and what it costs, the cost of one Out32 call, and whether
// a watcher keeps up with a fast writer, as a table with the targets. A
// step whose target was missed is run once more before the miss counts, as
// a busy machine misses some now and then; the load it ran under is told.
// Exits with 1 when a target was missed twice or a step could not run.
//
//   blink_bench [--seconds N]     (default 30 seconds of blinking)
#include "measures.h"
#include "user_run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

bool met(const Row &row)
{
    return row.target < 0 || row.value <= row.target;
}

// A row as the table shows it, with its mark: `first` is the row of a
// first run that missed, or nullptr.
void print(const Row &row, const Row *first)
{
    char value[32], target[48] = "", mark[64] = "";
    snprintf(value, sizeof value, row.unit[0] == '\0' ? "%.0f" : "%.3f", row.value);
    if (row.target >= 0) {
        snprintf(target, sizeof target, "<= %g", row.target);
        snprintf(mark, sizeof mark, "%s", met(row) ? "ok" : "MISSED");
        if (first != nullptr) {
            snprintf(mark, sizeof mark, "%s (1st run %.3f)",
                     met(row) ? "ok 2nd run" : "MISSED twice", first->value);
        }
    } else if (row.aim > 0) {
        // Writes paced by the clock fall short when the writer loses its core.
        snprintf(target, sizeof target, "aim %g", row.aim);
        snprintf(mark, sizeof mark, "%s", row.value >= 0.95 * row.aim ? "reached" : "short");
    } else {
        snprintf(target, sizeof target, "%s", row.good.c_str());
    }
    printf("%-48s %12s  %-4s %-26s %s\n", row.what.c_str(), value, row.unit, target, mark);
}

// Runs a step, and once more when it missed a target; prints its rows.
// False when a step could not run; *all_met turns false on a miss of both.
bool step(bool (*run)(std::vector<Row> *, void *), void *context, bool *all_met)
{
    std::vector<Row> first, again;
    if (!run(&first, context)) {
        return false;
    }
    bool missed = false;
    for (const Row &row : first) {
        missed = missed || !met(row);
    }
    if (missed && !run(&again, context)) {
        return false;
    }
    for (size_t i = 0; i < first.size(); ++i) {
        const bool repeated = missed && !met(first[i]) && i < again.size();
        const Row &row = repeated ? again[i] : first[i];
        *all_met = *all_met && met(row);
        print(row, repeated ? &first[i] : nullptr);
    }
    return true;
}

// The machine's load: the 1-minute load average, and the share of its cores
// that programs other than this one and its children kept busy.
struct Load {
    double average = 0;
    unsigned long long busy = 0, total = 0; // in clock ticks, all cores
    double own_s = 0;                       // this process and its children
};

Load load_now()
{
    Load load;
    std::string text = user_run::read_file("/proc/loadavg");
    load.average = strtod(text.c_str(), nullptr);
    unsigned long long t[8] = {};
    std::string stat = user_run::read_file("/proc/stat");
    sscanf(stat.c_str(), "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &t[0], &t[1], &t[2], &t[3],
           &t[4], &t[5], &t[6], &t[7]);
    for (unsigned long long ticks : t) {
        load.total += ticks;
    }
    load.busy = load.total - t[3] - t[4]; // less idle and waiting for I/O
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage usage;
        getrusage(who, &usage);
        load.own_s += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return load;
}

struct Run {
    std::string dir;
    int seconds;
};

} // namespace

int main(int argc, char **argv)
{
    const char help[] = "usage: blink_bench [--seconds N]\n"
                        "  --seconds N  seconds of blinking to measure, at least 4 (default 30)\n"
                        "  exits with 1 when a target is missed twice or a step cannot run\n";
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
    user_run::TempDir dir;
    setenv("LPT_BACKEND", "virtual", 1);
    Run run{dir.path, seconds};
    const Load before = load_now();
    printf("\n%-48s %12s  %-4s %-26s %s\n", "measure", "value", "unit", "target, or what is good",
           "");
    bool all_met = true;
    const bool ran =
        step(
            [](std::vector<Row> *rows, void *c) {
                const Run &r = *static_cast<Run *>(c);
                return measure_blinker(r.dir, r.seconds, rows);
            },
            &run, &all_met) &&
        load_library() &&
        step([](std::vector<Row> *rows,
                void *c) { return measure_out32(static_cast<Run *>(c)->dir, rows); },
             &run, &all_met) &&
        step([](std::vector<Row> *rows, void *) { return measure_watcher(rows); }, nullptr,
             &all_met) &&
        step([](std::vector<Row> *rows, void *) { return measure_log(rows); }, nullptr, &all_met);
    unload_library();
    const bool reloaded =
        ran && step([](std::vector<Row> *rows, void *) { return measure_reloads(rows); }, nullptr,
                    &all_met);
    if (!reloaded) {
        return 1;
    }
    const Load after = load_now();
    const double ticks_s = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double busy_s = static_cast<double>(after.busy - before.busy) / ticks_s;
    const double total_s = static_cast<double>(after.total - before.total) / ticks_s;
    const double others = total_s > 0 ? (busy_s - (after.own_s - before.own_s)) / total_s : 0;
    printf("\nload: %ld cores; load average %.2f at the start, %.2f at the end; other programs "
           "kept %.0f %% of the cores busy\n",
           sysconf(_SC_NPROCESSORS_ONLN), before.average, after.average,
           others > 0 ? others * 100 : 0.0);
    printf("%s\n", all_met ? "all targets met" : "some targets missed twice");
    return all_met ? 0 : 1;
}
