// The port's pins as a Value Change Dump, the trace format that PulseView,
// sigrok-cli and GTKWave read: one signal per pin, named by its line and
// DB-25 pin (D0_pin2, nStrobe_pin1, Busy_pin11), each at its pin's level,
// and "missed", high where writes came too fast to be read; in nanoseconds
// from the trace's start, as the writes' times have them, so that changes
// even a few nanoseconds apart each keep their own time.
#ifndef LPTMON_VCD_H
#define LPTMON_VCD_H

#include "watch.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vcd {

// The pins' values as the trace goes (unknown, -1, until a write sets
// them), the last time written, which a dump gives once, and whether the
// "missed" signal is high.
struct Pins {
    int registers[watch::register_count] = {-1, -1, -1};
    uint64_t marked_ns = UINT64_MAX;
    bool missing = false;
};

// The header, naming the port and the hardware ports that wrote it.
std::string header(unsigned base, const std::vector<std::string> &devices = {});
// At the trace's start: the pins as `registers` has them (-1: unknown).
std::string start(uint64_t time_ns, Pins *pins);
// What a write changes on the pins, at its time; "" where it changes none.
std::string change(uint64_t time_ns, Pins *pins, const watch::Write &write);
// Writes the port had after the one read at `after_ns` that the trace
// could not read in time: "missed" goes high until the next time written.
// (Not a $comment: viewers stop reading at the first one in the changes.)
std::string missed(uint64_t after_ns, Pins *pins);
// A last time, so that readers show the last change for as long as it held.
std::string end(uint64_t time_ns, Pins *pins);

} // namespace vcd

#endif
