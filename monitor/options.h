// lptmon's command line: the port, the mode and what the mode needs.
#ifndef LPTMON_OPTIONS_H
#define LPTMON_OPTIONS_H

#include "watch.h"

#include <string>
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

// An argument as lptmon's one-line messages show it, as the port library's
// show a setting (one_line_escape.h).
std::string escaped(const std::string &text);

// Reads the arguments into `options`. Returns -1 to go on, or the status to
// exit with once it has said why (or shown the usage for --help). Two modes
// at once, or two traces or ports, are refused: one would be dropped.
int parse_arguments(int argc, char **argv, Options *options);

} // namespace lptmon

#endif
