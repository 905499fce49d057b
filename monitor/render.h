// What lptmon shows, as text: pure functions of the port's state and history,
// so that every view can be checked without a terminal.
#ifndef LPTMON_RENDER_H
#define LPTMON_RENDER_H

#include "watch.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lptmon {

struct Glyphs {
    const char *lit;     // an LED that is on
    const char *unlit;   // an LED that is off
    const char *high;    // a line high in the timing strip
    const char *low;     // a line low
    const char *unknown; // a time before the recorded history
    const char *pulse;   // a line that went and came back within a column
};
extern const Glyphs ascii_glyphs;   // for scripts, logs and plain terminals
extern const Glyphs unicode_glyphs; // for terminals with a UTF-8 locale

struct Snapshot {
    unsigned base = 0x3BC;
    uint8_t registers[watch::register_count] = {};
    std::vector<watch::Write> writes; // recent writes, oldest first
    bool complete = false;            // no write before `writes` was dropped
    uint64_t total_writes = 0;
    uint64_t now_ns = 0;
    std::string device; // the hardware port the writes went to, "" for none
};

std::string hex(unsigned value, int digits);
std::string binary(uint8_t value);
const char *register_name(unsigned reg);
// D7 on the left, D0 on the right, as on the board.
std::string leds(uint8_t value, const Glyphs &glyphs);
// One line for --once and for plain output: address, LEDs, hex and binary,
// and the real port that was written, if it was one.
std::string state_line(unsigned base, uint8_t data, const std::string &device = "");
// A register's line in the view and in --once: name, address, hex and
// binary; a real port's status is not watched.
std::string register_line(unsigned base, unsigned reg, uint8_t value, bool real);
// For --once: the register's pins at their levels, "inputs 15 nError high,
// 13 Select low, ..." for status, "outputs 1 nStrobe high, ..." for control.
std::string pin_levels(unsigned reg, uint8_t value);
// One line for --log: time, gap to the write before, register, value, pid,
// and the device as follow() names it ("real port /dev/parport0").
std::string write_line(const watch::Write &write, uint64_t previous_ns,
                       const std::string &device = "");

// The four control pins at their levels (nStrobe, nAutoFd, nInit,
// nSelectIn), then the eight data lines, D7 first, each sampled over the
// `span_ns` before `now_ns` in `width` columns, oldest on the left; a
// column where a line changed more than once shows the pulse glyph.
const size_t strip_rows = 8 + watch::control_pin_count;
std::vector<std::string> timing_strip(const Snapshot &snapshot, uint64_t span_ns, int width,
                                      const Glyphs &glyphs);
// The whole live view, at most `rows` lines of at most `cols` columns; in a
// small terminal one line, never cut before the data value.
std::vector<std::string> screen(const Snapshot &snapshot, int rows, int cols, const Glyphs &glyphs);

// The timing strip's span, which the live view also paces its redraws by:
// five of the blinker's cycles, each change still a few columns wide.
const uint64_t strip_span_ns = 10ull * 1000000000ull;

} // namespace lptmon

#endif
