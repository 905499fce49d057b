#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace lptmon {
namespace {

const char usage[] = "usage: lptmon [--port ADDRESS] [--once | --log | --vcd [FILE] |\n"
                     "              --set PIN=low|high...]\n"
                     "  --port ADDRESS  the port to watch (default 0x3BC)\n"
                     "  --once          print the data register as one line and exit\n"
                     "  --log           print every recorded write, following new ones\n"
                     "  --vcd [FILE]    write the pins' trace (VCD, for PulseView), following\n"
                     "                  new writes until ended; to standard output without FILE\n"
                     "  --set PIN=LEVEL set an input pin (15, 13, 12, 10, 11) low or high,\n"
                     "                  as a switch to ground would, and exit\n"
                     "Without --once or --log: a live view of the LEDs, the registers and\n"
                     "the data lines over the last seconds; the keys shown there open and\n"
                     "close the input switches. q or Ctrl+C quits.\n";

// PIN=low or PIN=high for an input pin; else why not, ready to show.
bool parse_setting(const std::string &text, Setting *setting, std::string *why)
{
    const size_t equals = text.find('=');
    const std::string pin = text.substr(0, equals),
                      level = equals == std::string::npos ? "" : text.substr(equals + 1);
    char *end = nullptr;
    const long number = strtol(pin.c_str(), &end, 10);
    setting->input = !pin.empty() && *end == '\0' && number > 0 && number < 26
                         ? watch::input_at(static_cast<int>(number))
                         : nullptr;
    if (setting->input == nullptr) {
        *why = "--set " + text + ": " + (pin.empty() ? "no pin" : "pin " + pin) +
               " is no input; the inputs are pins 15, 13, 12, 10 and 11";
        return false;
    }
    if (level != "low" && level != "high") {
        *why = "--set " + text + ": the level is low or high";
        return false;
    }
    setting->high = level == "high";
    return true;
}

bool parse_address(const char *text, unsigned *base)
{
    char *end;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 0xFFFF) {
        return false;
    }
    *base = static_cast<unsigned>(value) & ~3u; // any of its registers names the port
    return true;
}

} // namespace

int parse_arguments(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--once") {
            options->mode = Mode::once;
        } else if (arg == "--log") {
            options->mode = Mode::log;
        } else if (arg == "--port" || arg == "-p") {
            if (i + 1 == argc) {
                fprintf(stderr, "lptmon: %s needs a port address\n%s", arg.c_str(), usage);
                return 2;
            }
            if (!parse_address(argv[++i], &options->base)) {
                fprintf(stderr, "lptmon: not a port address: %s\n%s", argv[i], usage);
                return 2;
            }
        } else if (arg == "--vcd") {
            options->mode = Mode::trace;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options->trace_path = argv[++i];
            }
        } else if (arg == "--set") {
            Setting setting;
            std::string why = "--set needs PIN=low or PIN=high";
            if (i + 1 == argc || !parse_setting(argv[++i], &setting, &why)) {
                fprintf(stderr, "lptmon: %s\n", why.c_str());
                return 2;
            }
            options->settings.push_back(setting);
            options->mode = Mode::set;
        } else if (arg == "--help" || arg == "-h") {
            fputs(usage, stdout);
            return 0;
        } else {
            fprintf(stderr, "lptmon: unknown argument: %s\n%s", arg.c_str(), usage);
            return 2;
        }
    }
    return -1;
}

} // namespace lptmon
