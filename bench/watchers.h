// The benchmark's watchers of a writer in this program: whether they keep
// up, and what that costs.
#ifndef BENCH_WATCHERS_H
#define BENCH_WATCHERS_H

#include <cstdint>

typedef void (*out_fn)(short, short);

// A writer in this program writes the port `count` times at `rate` writes
// a second, while a watcher follows the port through watch.h as a trace
// does, and a third thread keeps the other core busy.
struct Followed {
    uint64_t written = 0, read = 0, lost = 0;
    double rate = 0; // writes a second, as reached
};
Followed follow_writer(out_fn out32, double rate, uint64_t count);

// lptmon --log, its output read as it comes, while a writer in this
// program writes at full speed for `seconds`: the longest it said nothing,
// and its peak resident memory.
struct Logged {
    double silence_ms = 0, peak_mib = 0;
};
Logged log_fast_writer(out_fn out32, double seconds);

#endif
