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

// Times only go forward, each given once.
std::string time_mark(uint64_t time_us, Pins *pins)
{
    if (pins->marked_us != UINT64_MAX && time_us <= pins->marked_us) {
        return "";
    }
    pins->marked_us = time_us;
    return "#" + std::to_string(time_us) + "\n";
}

} // namespace

std::string header(unsigned base)
{
    char port[64];
    snprintf(port, sizeof port, "lptmon: parallel port 0x%03X", base);
    std::string text =
        "$comment " + std::string(port) + " $end\n$timescale 1 us $end\n$scope module lpt $end\n";
    char id = '!';
    for (const Signal &signal : all_signals()) {
        text += "$var wire 1 " + std::string(1, id++) + " " + signal.name + " $end\n";
    }
    return text + "$upscope $end\n$enddefinitions $end\n";
}

std::string start(uint64_t time_us, Pins *pins)
{
    std::string text = time_mark(time_us, pins);
    char id = '!';
    for (const Signal &signal : all_signals()) {
        text += std::string(1, level(signal, pins->registers[signal.reg])) + id++ + "\n";
    }
    return text;
}

std::string change(uint64_t time_us, Pins *pins, const watch::Write &write)
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
    return text.empty() ? "" : time_mark(time_us, pins) + text;
}

std::string missed(uint64_t time_us, Pins *pins, uint64_t count)
{
    return time_mark(time_us, pins) + "$comment " + std::to_string(count) +
           " writes missed here: they came too fast to read $end\n";
}

std::string end(uint64_t time_us, Pins *pins)
{
    return time_mark(time_us, pins);
}

} // namespace vcd
