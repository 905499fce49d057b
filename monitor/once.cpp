// The modes that look once and end: --once reads the registers, --set sets
// input pins; for scripts and tests.
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
std::string state_path(unsigned base)
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
    watch::Opened opened = watch::open(base, &port, why, sizeof why);
    // A port only ever read has a state file, but nothing was written to it.
    const bool written = opened == watch::opened && watch::write_count(port) > 0;
    uint8_t registers[watch::register_count] = {};
    for (unsigned reg = 0; opened == watch::opened && reg < watch::register_count; ++reg) {
        registers[reg] = watch::read(port, reg);
    }
    const std::string device = opened == watch::opened ? device_of(port) : "";
    if (opened == watch::opened && watch::lost(port)) {
        opened = watch::refused;
        snprintf(why, sizeof why, "%s shrank while being read", watch::file(port));
    }
    watch::close(port);
    if (opened == watch::refused) {
        term::write_error("lptmon: " + std::string(why) + "\n");
        return 1;
    }
    if (!written) {
        term::write_error("lptmon: port " + hex(base, 3) + " has never been written (no write in " +
                          state_path(base) + ")\n");
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

int set_inputs(unsigned base, const std::vector<Setting> &settings)
{
    watch::Port *port = nullptr;
    char why[1024] = "";
    bool ok = watch::open_to_set(base, &port, why, sizeof why) == watch::opened;
    for (size_t i = 0; ok && i < settings.size(); ++i) {
        ok = watch::set_input(port, *settings[i].input, settings[i].high, why, sizeof why);
    }
    if (port != nullptr) {
        watch::close(port);
    }
    if (!ok) {
        term::write_error("lptmon: " + std::string(why) + "\n");
    }
    return ok ? 0 : 1;
}

} // namespace lptmon
