// lptmon's command line: the port, the mode and what the mode needs.
#ifndef LPTMON_OPTIONS_H
#define LPTMON_OPTIONS_H

#include "watch.h"

#include <vector>

namespace lptmon {

enum class Mode { live, once, log, set, trace };

// An input pin and the level --set gives it.
struct Setting {
    const watch::Pin *input;
    bool high;
};

struct Options {
    unsigned base = 0x3BC;
    Mode mode = Mode::live;
    const char *trace_path = nullptr; // nullptr: standard output
    std::vector<Setting> settings;
};

// Reads the arguments into `options`. Returns -1 to go on, or the status to
// exit with once it has said why (or shown the usage for --help).
int parse_arguments(int argc, char **argv, Options *options);

} // namespace lptmon

#endif
