// The port's pins as a Value Change Dump, the trace format that PulseView,
// sigrok-cli and GTKWave read: one signal per pin, named by its line and
// DB-25 pin (D0_pin2, nStrobe_pin1, Busy_pin11), each at its pin's level,
// in microseconds from the trace's start.
#ifndef LPTMON_VCD_H
#define LPTMON_VCD_H

#include "watch.h"

#include <cstdint>
#include <string>

namespace vcd {

// The pins' values as the trace goes (unknown, -1, until a write sets
// them) and the last time written, which a dump gives once.
struct Pins {
    int registers[watch::register_count] = {-1, -1, -1};
    uint64_t marked_us = UINT64_MAX;
};

std::string header(unsigned base);
// At the trace's start: the pins as `registers` has them (-1: unknown).
std::string start(uint64_t time_us, Pins *pins);
// What a write changes on the pins, at its time; "" where it changes none.
std::string change(uint64_t time_us, Pins *pins, const watch::Write &write);
// Writes the port had that the trace could not read in time.
std::string missed(uint64_t time_us, Pins *pins, uint64_t count);
// A last time, so that readers show the last change for as long as it held.
std::string end(uint64_t time_us, Pins *pins);

} // namespace vcd

#endif
