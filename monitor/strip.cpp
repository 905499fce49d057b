// The timing strip: each pin's level over the last seconds, one column a
// slice of time, and a mark where a line went and came back within one.
#include "render.h"

namespace lptmon {
namespace {

const int unknown = -1;
// The registers the strip shows.
const unsigned shown_registers[] = {watch::data, watch::control};
const size_t shown_count = 2;

// A register at a column's end, and the bits that changed more than once
// within the column: a pulse shorter than a column leaves the level as it
// was (a 5 ms trigger in a 93 ms column), so it gets a mark of its own.
struct Cell {
    int value;
    uint8_t pulsed;
};

const char *glyph(const Cell &cell, unsigned bit, bool high, const Glyphs &glyphs)
{
    return (cell.pulsed >> bit & 1) ? glyphs.pulse
           : cell.value == unknown  ? glyphs.unknown
           : high                   ? glyphs.high
                                    : glyphs.low;
}

} // namespace

std::vector<std::string> timing_strip(const Snapshot &snapshot, uint64_t span_ns, int width,
                                      const Glyphs &glyphs)
{
    std::vector<std::string> rows(strip_rows);
    if (width <= 0) {
        return rows;
    }
    // Known from the start when nothing was ever dropped; else from the
    // first recorded write on, and a register that no kept write touched
    // has held its value since (a burst of data writes leaves the control
    // pins known).
    int now[shown_count] = {snapshot.complete ? 0 : unknown,
                            snapshot.complete ? watch::control_at_start : unknown};
    bool written[shown_count] = {};
    for (const watch::Write &write : snapshot.writes) {
        for (size_t r = 0; r < shown_count; ++r) {
            written[r] = written[r] || write.reg == shown_registers[r];
        }
    }
    std::vector<Cell> cells[shown_count];
    size_t next = 0;
    // Takes the next write into the registers' levels, noting in `once` and
    // `twice` the bits it changed.
    auto take = [&](uint8_t *once, uint8_t *twice) {
        const watch::Write &write = snapshot.writes[next];
        for (size_t r = 0; r < shown_count; ++r) {
            if (next == 0 && !written[r]) {
                now[r] = snapshot.registers[shown_registers[r]];
            }
            if (write.reg != shown_registers[r]) {
                continue;
            }
            const uint8_t changed = now[r] == unknown ? 0 : (now[r] ^ write.value) & 0xFF;
            twice[r] |= once[r] & changed;
            once[r] |= changed;
            now[r] = write.value;
        }
        ++next;
    };
    // What came before the strip only sets the levels it starts from: a
    // pulse half a minute old is not drawn as if it were in its first column.
    const uint64_t start = snapshot.now_ns > span_ns ? snapshot.now_ns - span_ns : 0;
    while (next < snapshot.writes.size() && snapshot.writes[next].time_ns <= start) {
        uint8_t ignored[shown_count] = {}, also_ignored[shown_count] = {};
        take(ignored, also_ignored);
    }
    for (int column = 0; column < width; ++column) {
        uint64_t back =
            span_ns * static_cast<uint64_t>(width - 1 - column) / static_cast<uint64_t>(width);
        uint64_t at = snapshot.now_ns > back ? snapshot.now_ns - back : 0;
        uint8_t once[shown_count] = {}, twice[shown_count] = {};
        while (next < snapshot.writes.size() && snapshot.writes[next].time_ns <= at) {
            take(once, twice);
        }
        for (size_t r = 0; r < shown_count; ++r) {
            cells[r].push_back({now[r], twice[r]});
        }
    }
    for (unsigned bit = 0; bit < 8; ++bit) {
        std::string &row = rows[watch::control_pin_count + 7 - bit];
        for (const Cell &cell : cells[0]) {
            row += glyph(cell, bit, (cell.value >> bit & 1) != 0, glyphs);
        }
    }
    // The control pins at their levels, the port's inversions undone.
    for (size_t i = 0; i < watch::control_pin_count; ++i) {
        const watch::Pin &pin = watch::control_pins[i];
        for (const Cell &cell : cells[1]) {
            rows[i] += glyph(cell, pin.bit,
                             cell.value != unknown &&
                                 watch::pin_high(pin, static_cast<uint8_t>(cell.value)),
                             glyphs);
        }
    }
    return rows;
}

} // namespace lptmon
