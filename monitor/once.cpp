// --once: reads the registers once and ends; for scripts and tests.
#include "follow.h"
#include "modes.h"
#include "render.h"
#include "term.h"

#include <cstdio>
#include <string>

namespace lptmon {
namespace {

// Of any length: a folder may be named in a few hundred letters of three
// bytes each.
std::string state_file(unsigned base)
{
    std::string path;
    for (size_t size = 512; size <= (1u << 20); size *= 2) {
        path.assign(size, '\0');
        if (watch::state_path(base, &path[0], size)) {
            break;
        }
    }
    return path.c_str();
}

} // namespace

int once(unsigned base)
{
    watch::Port *port = nullptr;
    char why[1024];
    watch::Opened outcome = watch::open(base, &port, why, sizeof why);
    // A port only ever read has a state file, but nothing was written to it.
    const bool written = outcome == watch::opened && watch::write_count(port) > 0;
    uint8_t registers[watch::register_count] = {};
    for (unsigned reg = 0; outcome == watch::opened && reg < watch::register_count; ++reg) {
        registers[reg] = watch::read(port, reg);
    }
    const std::string device = outcome == watch::opened ? device_of(port) : "";
    if (outcome == watch::opened && watch::lost(port)) {
        outcome = watch::refused;
        snprintf(why, sizeof why, "%s shrank while being read", watch::file(port));
    }
    watch::close(port);
    if (outcome == watch::refused) {
        term::write_error("lptmon: " + std::string(why) + "\n");
        return 1;
    }
    if (!written) {
        term::write_error("lptmon: port " + hex(base, 3) + " has never been written (no write in " +
                          state_file(base) + ")\n");
        return 1;
    }
    // The data line first, as scripts have read it; then the inputs a script
    // may have set and the control outputs, each with its pins' levels.
    std::string text = state_line(base, registers[watch::data], device) + "\n";
    for (unsigned reg : {watch::status, watch::control}) {
        text += register_line(base, reg, registers[reg], !device.empty());
        text += reg == watch::status && !device.empty()
                    ? "\n"
                    : "  " + pin_levels(reg, registers[reg]) + "\n";
    }
    term::write_out(text);
    return 0;
}

} // namespace lptmon
