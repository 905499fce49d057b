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

namespace lptmon {

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
    std::string text = vcd::header(base);
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
    auto at = [&](uint64_t ns) { return ns > start_ns ? ns - start_ns : 0; };
    put();
    follow_writes(
        base,
        {[](const std::string &news) { term::write_error("lptmon: " + news + "\n"); },
         [&](uint64_t count, const watch::Write &next) {
             text += vcd::missed(at(last_ns), &pins);
             char said[160];
             snprintf(said, sizeof said,
                      "lptmon: %llu writes came too fast to record, before %.6f s in the trace\n",
                      static_cast<unsigned long long>(count),
                      static_cast<double>(at(next.time_ns)) / 1e9);
             term::write_error(said);
         },
         [&](const watch::Write &write, const std::string &) {
             if (start_ns == 0) {
                 // From the port's first write on, its pins are known: as
                 // the PC left them at start.
                 start_ns = write.time_ns;
                 if (write.number == 1) {
                     pins.registers[watch::data] = 0;
                     pins.registers[watch::status] = watch::status_at_start;
                     pins.registers[watch::control] = watch::control_at_start;
                 }
                 text += vcd::start(0, &pins);
             }
             text += vcd::change(at(write.time_ns), &pins, write);
             last_ns = write.time_ns;
         },
         put});
    if (start_ns == 0) {
        start_ns = watch::now_ns();
        text += vcd::start(0, &pins);
    }
    text += vcd::end(at(watch::now_ns()), &pins);
    put();
    if (file != nullptr && fclose(file) != 0 && written) {
        return cannot_write();
    }
    return written ? 0 : 1;
}

} // namespace lptmon
