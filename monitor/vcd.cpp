#include "vcd.h"

#include <cstdio>
#include <vector>

namespace vcd {
namespace {

struct Signal {
    unsigned reg;
    const watch::Pin *pin; // nullptr: data line `bit`, not inverted
    unsigned bit;
    std::string name;
};

// The data pins, the control outputs, then the status inputs; identified
// in the dump by one printable character each, from '!' on.
std::vector<Signal> signals()
{
    std::vector<Signal> all;
    for (unsigned bit = 0; bit < 8; ++bit) {
        all.push_back({watch::data, nullptr, bit,
                       "D" + std::to_string(bit) + "_pin" + std::to_string(bit + 2)});
    }
    for (const watch::Pin &pin : watch::control_pins) {
        all.push_back({watch::control, &pin, pin.bit,
                       std::string(pin.line) + "_pin" + std::to_string(pin.pin)});
    }
    for (const watch::Pin &pin : watch::input_pins) {
        all.push_back({watch::status, &pin, pin.bit,
                       std::string(pin.line) + "_pin" + std::to_string(pin.pin)});
    }
    return all;
}

const std::vector<Signal> &all_signals()
{
    static const std::vector<Signal> all = signals();
    return all;
}

char level(const Signal &signal, int value)
{
    if (value < 0) {
        return 'x';
    }
    const uint8_t byte = static_cast<uint8_t>(value);
    const bool high =
        signal.pin != nullptr ? watch::pin_high(*signal.pin, byte) : (byte >> signal.bit & 1) != 0;
    return high ? '1' : '0';
}

// The "missed" signal's identifier, after the pins'.
char missed_id()
{
    return static_cast<char>('!' + all_signals().size());
}

// Times only go forward, each given once; "missed" falls at the first new
// time after it rose.
std::string time_mark(uint64_t time_ns, Pins *pins)
{
    if (pins->marked_ns != UINT64_MAX && time_ns <= pins->marked_ns) {
        return "";
    }
    pins->marked_ns = time_ns;
    std::string text = "#" + std::to_string(time_ns) + "\n";
    if (pins->missing) {
        pins->missing = false;
        text += std::string("0") + missed_id() + "\n";
    }
    return text;
}

} // namespace

std::string header(unsigned base, const std::vector<std::string> &devices)
{
    char port[64];
    snprintf(port, sizeof port, "lptmon: parallel port 0x%03X", base);
    std::string text = "$comment " + std::string(port) + " $end\n";
    for (const std::string &device : devices) {
        text += "$comment lptmon: writes went to the real port " + device + " $end\n";
    }
    text += "$timescale 1ns $end\n$scope module lpt $end\n";
    char id = '!';
    for (const Signal &signal : all_signals()) {
        text += "$var wire 1 " + std::string(1, id++) + " " + signal.name + " $end\n";
    }
    text += "$var wire 1 " + std::string(1, missed_id()) + " missed $end\n";
    return text + "$upscope $end\n$enddefinitions $end\n";
}

std::string start(uint64_t time_ns, Pins *pins)
{
    std::string text = time_mark(time_ns, pins);
    char id = '!';
    for (const Signal &signal : all_signals()) {
        text += std::string(1, level(signal, pins->registers[signal.reg])) + id++ + "\n";
    }
    return text + "0" + missed_id() + "\n";
}

std::string change(uint64_t time_ns, Pins *pins, const watch::Write &write)
{
    if (write.reg >= watch::register_count) {
        return "";
    }
    const int before = pins->registers[write.reg];
    pins->registers[write.reg] = write.value;
    std::string text;
    char id = '!';
    for (const Signal &signal : all_signals()) {
        const char now = level(signal, write.value);
        if (signal.reg == write.reg && now != level(signal, before)) {
            text += std::string(1, now) + id + "\n";
        }
        ++id;
    }
    // A write that changes no pin still ends a stretch of missed writes.
    return text.empty() && !pins->missing ? "" : time_mark(time_ns, pins) + text;
}

std::string missed(uint64_t after_ns, Pins *pins)
{
    // Raised just after the last write read, or at once where that time
    // is given already.
    const std::string mark = time_mark(after_ns + 1, pins);
    pins->missing = true;
    return mark + "1" + missed_id() + "\n";
}

std::string end(uint64_t time_ns, Pins *pins)
{
    return time_mark(time_ns, pins);
}

} // namespace vcd
