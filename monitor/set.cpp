// --set: sets input pins and ends; for scripts and tests.
#include "modes.h"
#include "term.h"

#include <string>

namespace lptmon {

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
