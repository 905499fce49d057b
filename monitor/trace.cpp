// --vcd: the pins' trace, to a file or standard output, following new
// writes until ended.
#include "follow.h"
#include "modes.h"
#include "options.h"
#include "term.h"
#include "vcd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace lptmon {

// The hardware ports that wrote the port, named in the trace's header.
static std::vector<std::string> devices(const watch::Port *port)
{
    std::vector<std::string> names;
    for (unsigned device = 1; device < watch::device_limit; ++device) {
        char name[128];
        // Hardware ports only: a device served over the virtual port
        // (lptrun's) leaves the inputs to the watchers.
        if (watch::device_name(port, device, name, sizeof name) &&
            !watch::device_emulated(port, device)) {
            names.push_back(name);
        }
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
    bool written = true;
    Pages pages([&](const std::string &text) {
        if (file == nullptr) {
            term::write_out(text);
        } else if (written && (fwrite(text.data(), 1, text.size(), file) != text.size() ||
                               fflush(file) != 0)) {
            written = false;
            cannot_write();
        }
    });
    vcd::Pins pins;
    uint64_t start_ns = 0, last_ns = 0;
    bool started = false;
    auto at = [&](uint64_t ns) { return ns > start_ns ? ns - start_ns : 0; };
    // The header goes with the trace's start, so that it names the real
    // port of a trace that waited for the port's first write. One that
    // writes later is named on standard error: readers stop at a comment
    // among the changes.
    watch::Port *port_open = nullptr;
    std::vector<std::string> named;
    auto start = [&](uint64_t ns) {
        started = true;
        start_ns = ns;
        if (port_open != nullptr) {
            named = devices(port_open);
        }
        pages.add(vcd::header(base, named) + vcd::start(0, &pins));
    };
    // Time 0 and the pins at it: the first write, from which on the pins
    // are known, where the trace follows the port from its first write.
    auto start_at = [&](const watch::Write &first) {
        if (!started) {
            if (first.number == 1) {
                pins.registers[watch::data] = 0;
                pins.registers[watch::status] = watch::status_at_start;
                pins.registers[watch::control] = watch::control_at_start;
            }
            start(first.time_ns);
        }
    };
    follow_writes(
        base, From::now,
        {[](const std::string &news) { term::write_error("lptmon: " + news + "\n"); },
         [&](uint64_t count, const watch::Write &next) {
             start_at(next);
             pages.add(vcd::missed(at(last_ns > start_ns ? last_ns : start_ns), &pins));
             char said[160];
             snprintf(said, sizeof said,
                      "lptmon: %llu writes came too fast to record, before %.6f s in the trace\n",
                      static_cast<unsigned long long>(count),
                      static_cast<double>(at(next.time_ns)) / 1e9);
             term::write_error(said);
         },
         [&](const watch::Write &write, const std::string &device) {
             start_at(write);
             // Hardware ports only ("real port /dev/parport0"): a device
             // served over the virtual port leaves the inputs to the watchers.
             if (device.rfind("real port ", 0) == 0 &&
                 std::find(named.begin(), named.end(), device) == named.end()) {
                 named.push_back(device);
                 char said[200];
                 snprintf(said, sizeof said,
                          "lptmon: writes went to the %s from %.6f s in the trace\n",
                          device.c_str(), static_cast<double>(at(write.time_ns)) / 1e9);
                 term::write_error(said);
             }
             pages.add(vcd::change(at(write.time_ns), &pins, write));
             last_ns = write.time_ns;
         },
         [&] { pages.flush(); },
         [&](watch::Port *port, bool from_first) {
             port_open = port;
             // A trace starts when it is started, with the pins as they are.
             if (!started && !from_first) {
                 for (unsigned reg = 0; reg < watch::register_count; ++reg) {
                     pins.registers[reg] = watch::read(port, reg);
                 }
                 // A real port's inputs are wires that nobody read.
                 if (!device_of(port).empty()) {
                     pins.registers[watch::status] = -1;
                 }
                 start(watch::monotonic_ns());
             }
         }});
    port_open = nullptr; // closed by now
    if (!started) {
        start(watch::monotonic_ns());
    }
    pages.add(vcd::end(at(watch::monotonic_ns()), &pins));
    pages.flush();
    if (file != nullptr && fclose(file) != 0 && written) {
        return cannot_write();
    }
    return written ? 0 : 1;
}

} // namespace lptmon
