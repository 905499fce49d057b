#include "render.h"
#include "switch_keys.h"

#include <algorithm>
#include <cstdio>

namespace lptmon {

const Glyphs ascii_glyphs = {"(*)", "( )", "#", "_", " ", "|"};
const Glyphs unicode_glyphs = {"\u25cf", "\u25cb", "\u2580", "\u2581", " ", "\u2588"};

namespace {

// Display width of a line: every UTF-8 sequence counts as one column.
size_t columns(const std::string &text)
{
    size_t n = 0;
    for (unsigned char c : text) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

std::string fit(const std::string &text, int cols)
{
    if (cols <= 0) {
        return "";
    }
    std::string out;
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80 && n++ == static_cast<size_t>(cols)) {
            break;
        }
        out += text[i];
    }
    return out;
}

std::string seconds(uint64_t ns)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f s", static_cast<double>(ns) / 1e9);
    return text;
}

} // namespace

std::string hex(unsigned value, int digits)
{
    char text[16];
    snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string binary(uint8_t value)
{
    std::string bits;
    for (int bit = 7; bit >= 0; --bit) {
        bits += (value >> bit & 1) ? '1' : '0';
    }
    return bits;
}

const char *register_name(unsigned reg)
{
    static const char *const names[] = {"data", "status", "control"};
    return reg < watch::register_count ? names[reg] : "?";
}

std::string leds(uint8_t value, const Glyphs &glyphs)
{
    std::string row;
    for (int bit = 7; bit >= 0; --bit) {
        row += (value >> bit & 1) ? glyphs.lit : glyphs.unlit;
    }
    return row;
}

namespace {
std::string real_mark(const std::string &device)
{
    return device.empty() ? "" : "  real port " + device;
}
} // namespace

std::string state_line(unsigned base, uint8_t data, const std::string &device)
{
    return "port " + hex(base, 3) + "  D7-D0 " + leds(data, ascii_glyphs) + "  data " +
           hex(data, 2) + " " + binary(data) + real_mark(device);
}

std::string write_line(const watch::Write &write, uint64_t previous_ns, const std::string &device)
{
    char text[128];
    char gap[32] = "";
    if (previous_ns != 0 && write.time_ns >= previous_ns) {
        snprintf(gap, sizeof gap, "+%.6f", static_cast<double>(write.time_ns - previous_ns) / 1e9);
    }
    snprintf(text, sizeof text, "%.6f %10s  %-7s %s %s  pid %u",
             static_cast<double>(write.time_ns) / 1e9, gap, register_name(write.reg),
             hex(write.value, 2).c_str(), binary(write.value).c_str(), write.pid);
    return text + (device.empty() ? "" : "  " + device);
}

std::string register_line(unsigned base, unsigned reg, uint8_t value, bool real)
{
    char text[80];
    // A real port's inputs are not watched: only its writes are known.
    if (reg == watch::status && real) {
        snprintf(text, sizeof text, "%-8s %s  not watched (inputs)", register_name(reg),
                 hex(base + reg, 3).c_str());
    } else {
        snprintf(text, sizeof text, "%-8s %s  %s  %s", register_name(reg),
                 hex(base + reg, 3).c_str(), hex(value, 2).c_str(), binary(value).c_str());
    }
    return text;
}

std::string pin_levels(unsigned reg, uint8_t value)
{
    const bool inputs = reg == watch::status;
    const watch::Pin *pins = inputs ? watch::input_pins : watch::control_pins;
    const size_t count = inputs ? watch::input_pin_count : watch::control_pin_count;
    std::string text = inputs ? "inputs" : "outputs";
    for (size_t i = 0; i < count; ++i) {
        text += std::string(i == 0 ? " " : ", ") + std::to_string(pins[i].pin) + " " +
                pins[i].line + (watch::pin_high(pins[i], value) ? " high" : " low");
    }
    return text;
}

namespace {

using Lines = std::vector<std::string>;

// Too small for the board: one line, the widest form that fits. The data
// value goes last, so it is kept as long as anything is.
std::string one_line(const Snapshot &snapshot, int cols, const Glyphs &glyphs)
{
    const uint8_t data = snapshot.registers[watch::data];
    const std::string lamps = leds(data, glyphs), value = hex(data, 2);
    const std::string forms[] = {"port " + hex(snapshot.base, 3) + "  D7-D0 " + lamps + "  data " +
                                     value + " " + binary(data),
                                 hex(snapshot.base, 3) + " " + lamps + " " + value + " " +
                                     binary(data),
                                 lamps + " " + value, value + " " + binary(data), value};
    for (const std::string &form : forms) {
        if (columns(form) <= static_cast<size_t>(cols)) {
            return fit(form, cols);
        }
    }
    return fit(forms[4], cols);
}

// The title, then the data lines as LEDs with each line's pin on the DB-25
// under its LED, so the board and the screen can be compared pin by pin:
// D0 is pin 2, D7 pin 9.
void add_board(const Snapshot &snapshot, const Glyphs &glyphs, Lines *lines)
{
    const uint8_t data = snapshot.registers[watch::data];
    lines->push_back(!snapshot.device.empty()
                         ? "Real port " + hex(snapshot.base, 3) + " on " + snapshot.device +
                               "    q quits"
                         : "Virtual parallel port " + hex(snapshot.base, 3) + "    q quits");
    lines->push_back("");
    std::string labels, lamps, pins;
    for (int bit = 7; bit >= 0; --bit) {
        labels += " D" + std::to_string(bit) + " ";
        pins += "  " + std::to_string(bit + 2) + " ";
        std::string lamp = (data >> bit & 1) ? glyphs.lit : glyphs.unlit;
        lamps += std::string((4 - columns(lamp)) / 2 + 1, ' ') + lamp +
                 std::string(4 - columns(lamp) - (4 - columns(lamp)) / 2 - 1, ' ');
    }
    lines->push_back(labels);
    lines->push_back(lamps);
    lines->push_back(pins + "  DB-25 pins");
    lines->push_back("");
}

void add_registers(const Snapshot &snapshot, Lines *lines)
{
    for (unsigned reg = 0; reg < watch::register_count; ++reg) {
        lines->push_back(
            register_line(snapshot.base, reg, snapshot.registers[reg], !snapshot.device.empty()));
    }
}

// The control outputs and the status inputs at their pins' levels; the
// inputs with the keys of their switches, where they are ours to set.
void add_pins(const Snapshot &snapshot, const Glyphs &glyphs, Lines *lines)
{
    const bool real = !snapshot.device.empty();
    std::string outputs = "control", inputs = "inputs ";
    for (const watch::Pin &pin : watch::control_pins) {
        outputs +=
            " " + std::to_string(pin.pin) + " " + pin.line + " " +
            (watch::pin_high(pin, snapshot.registers[watch::control]) ? glyphs.lit : glyphs.unlit) +
            " ";
    }
    for (const watch::Pin &pin : watch::input_pins) {
        inputs += " " + std::string(real ? "" : std::string(1, switch_key(pin)) + ":") +
                  std::to_string(pin.pin) + " " + pin.line + " " +
                  (real                                                      ? "?"
                   : watch::pin_high(pin, snapshot.registers[watch::status]) ? glyphs.lit
                                                                             : glyphs.unlit) +
                  " ";
    }
    lines->push_back(outputs);
    lines->push_back(inputs);
    lines->push_back(real ? "(a real port's inputs are wires: not watched)"
                          : "(a key closes or opens the switch from its input pin to ground)");
    lines->push_back("");
}

// The timing strip, labelled by line and pin as the DB-25 has them, in
// `rows` lines at most after its title. Short of rows, the top ones go
// first, and the title names them: the blinker's D1 and D0 stay.
void add_strip(const Snapshot &snapshot, int rows, int cols, const Glyphs &glyphs, Lines *lines)
{
    const size_t label_width = 13;
    Lines strip =
        timing_strip(snapshot, strip_span_ns, cols - static_cast<int>(label_width), glyphs);
    Lines names(strip_rows), lines_of(strip_rows);
    for (int bit = 7; bit >= 0; --bit) {
        const size_t row = watch::control_pin_count + static_cast<size_t>(7 - bit);
        lines_of[row] = "D" + std::to_string(bit);
        names[row] = lines_of[row] + " pin " + std::to_string(bit + 2);
    }
    for (size_t i = 0; i < watch::control_pin_count; ++i) {
        lines_of[i] = watch::control_pins[i].line;
        names[i] = lines_of[i] + " " + std::to_string(watch::control_pins[i].pin);
    }
    const size_t shown =
        static_cast<size_t>(std::max(0, std::min(static_cast<int>(strip_rows), rows - 1)));
    std::string title = "Pins, last " + seconds(strip_span_ns) + " (now at the right)";
    if (shown < strip_rows) {
        title += "; no room for " + lines_of[0] +
                 (shown + 1 < strip_rows ? " to " + lines_of[strip_rows - shown - 1] : "");
    }
    lines->push_back(title);
    for (size_t row = strip_rows - shown; row < strip_rows; ++row) {
        lines->push_back(names[row] + std::string(label_width - names[row].size(), ' ') +
                         strip[row]);
    }
}

// The writes drawn in the strip and all the port has had: a burst longer
// than the drawn history leaves the strip's count a lower bound.
std::string footer(const Snapshot &snapshot)
{
    const uint64_t start = snapshot.now_ns > strip_span_ns ? snapshot.now_ns - strip_span_ns : 0;
    size_t in_strip = 0;
    for (const watch::Write &write : snapshot.writes) {
        in_strip += write.time_ns > start;
    }
    const bool more = !snapshot.complete && in_strip == snapshot.writes.size() && in_strip > 0;
    std::string text = (more ? "at least " : "") + std::to_string(in_strip) +
                       " writes in the strip, " + std::to_string(snapshot.total_writes) + " in all";
    if (!snapshot.writes.empty()) {
        text += ", last " + seconds(snapshot.now_ns - snapshot.writes.back().time_ns) + " ago";
    }
    return text;
}

} // namespace

std::vector<std::string> screen(const Snapshot &snapshot, int rows, int cols, const Glyphs &glyphs)
{
    if (rows < 18 || cols < 48) {
        return {one_line(snapshot, cols, glyphs)};
    }
    Lines lines;
    add_board(snapshot, glyphs, &lines);
    add_registers(snapshot, &lines);
    add_pins(snapshot, glyphs, &lines);
    // Short of rows for the whole strip, its title and the footer, the
    // blank lines go before any of the strip's rows (24 rows then fit all).
    for (size_t i = lines.size();
         i-- > 0 && static_cast<int>(lines.size() + strip_rows + 2) > rows;) {
        if (lines[i].empty()) {
            lines.erase(lines.begin() + static_cast<long>(i));
        }
    }
    // What is left below the strip's title, less the footer's line.
    add_strip(snapshot, rows - static_cast<int>(lines.size()) - 1, cols, glyphs, &lines);
    lines.push_back(footer(snapshot));
    for (std::string &line : lines) {
        line = fit(line, cols);
    }
    return lines;
}

} // namespace lptmon
