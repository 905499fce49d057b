// --vcd: the pins' trace, to a file or standard output, following new
// writes until ended.
#include "follow.h"
#include "modes.h"
#include "options.h"
#include "term.h"
#include "vcd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace lptmon {

// The hardware ports that wrote the port, named in the trace's header.
static std::vector<std::string> devices(unsigned base)
{
    std::vector<std::string> names;
    watch::Port *port = nullptr;
    char why[1024];
    if (watch::open(base, &port, why, sizeof why) == watch::opened) {
        for (unsigned device = 1; device < watch::device_limit; ++device) {
            char name[128];
            // Hardware ports only: a device served over the virtual port
            // (lptrun's) leaves the inputs to the watchers.
            if (watch::device_name(port, device, name, sizeof name) &&
                !watch::device_emulated(port, device)) {
                names.push_back(name);
            }
        }
        watch::close(port);
    }
    return names;
}

// A last time at the end, so that readers show the last change. A write
// that fails ends the trace at once, with its reason.
int write_trace(unsigned base, const char *path)
{
    auto cannot_write = [&] {
        term::fail("lptmon: cannot write " + escaped(path) + ": " + strerror(errno) + "\n");
        return 1;
    };
    FILE *file = path != nullptr ? term::create_file(path) : nullptr;
    if (path != nullptr && file == nullptr) {
        return cannot_write();
    }
    std::string text = vcd::header(base, devices(base));
    bool written = true;
    auto put = [&] {
        if (file == nullptr) {
            term::write_out(text);
        } else if (written && (fwrite(text.data(), 1, text.size(), file) != text.size() ||
                               fflush(file) != 0)) {
            written = false;
            cannot_write();
        }
        text.clear();
    };
    vcd::Pins pins;
    uint64_t start_ns = 0, last_ns = 0;
    bool started = false;
    auto at = [&](uint64_t ns) { return ns > start_ns ? ns - start_ns : 0; };
    // Time 0 and the pins at it: the first write, from which on the pins
    // are known, where the trace follows the port from its first write.
    auto start_at = [&](const watch::Write &first) {
        if (!started) {
            started = true;
            start_ns = first.time_ns;
            if (first.number == 1) {
                pins.registers[watch::data] = 0;
                pins.registers[watch::status] = watch::status_at_start;
                pins.registers[watch::control] = watch::control_at_start;
            }
            text += vcd::start(0, &pins);
        }
    };
    put();
    follow_writes(
        base, From::now,
        {[](const std::string &news) { term::write_error("lptmon: " + news + "\n"); },
         [&](uint64_t count, const watch::Write &next) {
             start_at(next);
             text += vcd::missed(at(last_ns > start_ns ? last_ns : start_ns), &pins);
             char said[160];
             snprintf(said, sizeof said,
                      "lptmon: %llu writes came too fast to record, before %.6f s in the trace\n",
                      static_cast<unsigned long long>(count),
                      static_cast<double>(at(next.time_ns)) / 1e9);
             term::write_error(said);
         },
         [&](const watch::Write &write, const std::string &) {
             start_at(write);
             text += vcd::change(at(write.time_ns), &pins, write);
             last_ns = write.time_ns;
         },
         put,
         [&](watch::Port *port, bool from_first) {
             // A trace starts when it is started, with the pins as they are.
             if (!started && !from_first) {
                 started = true;
                 start_ns = watch::monotonic_ns();
                 for (unsigned reg = 0; reg < watch::register_count; ++reg) {
                     pins.registers[reg] = watch::read(port, reg);
                 }
                 // A real port's inputs are wires that nobody read.
                 if (!device_of(port).empty()) {
                     pins.registers[watch::status] = -1;
                 }
                 text += vcd::start(0, &pins);
             }
         }});
    if (!started) {
        start_ns = watch::monotonic_ns();
        text += vcd::start(0, &pins);
    }
    text += vcd::end(at(watch::monotonic_ns()), &pins);
    put();
    if (file != nullptr && fclose(file) != 0 && written) {
        return cannot_write();
    }
    return written ? 0 : 1;
}

} // namespace lptmon
