// The timing strip: each pin's level over the last seconds, one column a
// slice of time.
#include "render.h"

namespace lptmon {

std::vector<std::string> timing_strip(const Snapshot &snapshot, uint64_t span_ns, int width,
                                      const Glyphs &glyphs)
{
    std::vector<std::string> rows(strip_rows);
    if (width <= 0) {
        return rows;
    }
    // Each register's value at each column's end; known from the first
    // recorded write on, or from the start when nothing was ever dropped.
    const int unknown = -1;
    std::vector<int> data(static_cast<size_t>(width)), control(static_cast<size_t>(width));
    int data_now = snapshot.complete ? 0 : unknown;
    int control_now = snapshot.complete ? watch::control_at_start : unknown;
    size_t next = 0;
    for (int column = 0; column < width; ++column) {
        uint64_t back =
            span_ns * static_cast<uint64_t>(width - 1 - column) / static_cast<uint64_t>(width);
        uint64_t at = snapshot.now_ns > back ? snapshot.now_ns - back : 0;
        while (next < snapshot.writes.size() && snapshot.writes[next].time_ns <= at) {
            const watch::Write &write = snapshot.writes[next++];
            if (write.reg == watch::data) {
                data_now = write.value;
            } else if (write.reg == watch::control) {
                control_now = write.value;
            }
        }
        data[static_cast<size_t>(column)] = data_now;
        control[static_cast<size_t>(column)] = control_now;
    }
    for (int bit = 7; bit >= 0; --bit) {
        std::string &row = rows[watch::control_pin_count + static_cast<size_t>(7 - bit)];
        for (int v : data) {
            row += v == unknown ? glyphs.unknown : (v >> bit & 1) ? glyphs.high : glyphs.low;
        }
    }
    // The control pins at their levels, the port's inversions undone.
    for (size_t i = 0; i < watch::control_pin_count; ++i) {
        std::string &row = rows[i];
        for (int v : control) {
            row += v == unknown ? glyphs.unknown
                   : watch::pin_high(watch::control_pins[i], static_cast<uint8_t>(v)) ? glyphs.high
                                                                                      : glyphs.low;
        }
    }
    return rows;
}

} // namespace lptmon
