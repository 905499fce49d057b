// lptmon: shows a virtual parallel port as a person would look at the LED
// board: the data lines as LEDs, the registers, and a timing strip; or a real
// port's writes, which the port library records in the same state file. It
// reads the port's state file; the one thing it changes is the input pins
// (--set and the live view's keys), which makes the state file of a port
// never written. It sees the port only through watch.h. The arguments are
// read in options.cpp, each mode is a file of its own (modes.h), and the
// terminal and the operating system are in term_*.cpp, one file per
// platform.
#include "modes.h"
#include "options.h"
#include "term.h"

#include <cstdio>

int main(int argc, char **argv)
{
    term::utf8_arguments(&argc, &argv);
    const bool output_missing = term::output_missing();
    term::fill_standard_streams();
    lptmon::Options options;
    const int refused = lptmon::parse_arguments(argc, argv, &options);
    if (refused >= 0) {
        return refused;
    }
    if (output_missing) {
        fputs("lptmon: standard output is closed\n", stderr);
        return 1;
    }
    term::catch_signals();
    switch (options.mode) {
    case lptmon::Mode::once:
        return term::end_status(lptmon::once(options.base));
    case lptmon::Mode::set:
        return lptmon::set_inputs(options.base, options.settings);
    case lptmon::Mode::log:
        term::start_key_thread(false);
        return term::end_status(lptmon::log_writes(options.base));
    case lptmon::Mode::trace:
        term::start_key_thread(false);
        return term::end_status(lptmon::write_trace(options.base, options.trace_path));
    case lptmon::Mode::live:
        break;
    }
    const bool terminal = term::output_is_terminal();
    term::start_key_thread(terminal && term::input_is_terminal());
    return term::end_status(lptmon::live(options.base, terminal));
}
