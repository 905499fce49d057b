#include "options.h"
#include "one_line_escape.h"
#include "render.h"
#include "term.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int refuse(const std::string &why, bool with_usage = false)
{
    term::write_error("lptmon: " + why + "\n" + (with_usage ? usage : ""));
    return 2;
}

// A mode, or the port, given where another one already was: one of the
// two would be dropped. `key` tells them apart, `label` is as given.
struct Given {
    std::string key, label;
    int clash(const std::string &next_key, const std::string &next_label)
    {
        if (key.empty()) {
            key = next_key;
            label = next_label;
        }
        return key == next_key
                   ? -1
                   : refuse(label + " and " + next_label + " cannot go together; give one of them");
    }
};

} // namespace

std::string escaped(const std::string &text)
{
    std::string out(4 * text.size() + 1, '\0'); // \xHH for each byte at most
    one_line_escape(text.data(), text.size(), &out[0], out.size());
    out.resize(strlen(out.c_str()));
    return out;
}

int parse_arguments(int argc, char **argv, Options *options)
{
    Given mode, port;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string given = escaped(arg), key = given; // the mode as given, and which
        if (arg == "--once") {
            options->mode = Mode::once;
        } else if (arg == "--log") {
            options->mode = Mode::log;
        } else if (arg == "--port" || arg == "-p") {
            if (i + 1 == argc) {
                return refuse(given + " needs a port address", true);
            }
            if (!parse_address(argv[++i], &options->base)) {
                return refuse("not a port address: " + escaped(argv[i]), true);
            }
            const int status = port.clash(hex(options->base, 3), given + " " + escaped(argv[i]));
            if (status >= 0) {
                return status;
            }
            continue;
        } else if (arg == "--vcd") {
            options->mode = Mode::trace;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options->trace_path = argv[++i];
                given += " " + escaped(argv[i]);
            }
            key = given; // two traces are two modes
        } else if (arg == "--set") {
            Setting setting;
            std::string why = "--set needs PIN=low or PIN=high";
            if (i + 1 == argc || !parse_setting(escaped(argv[++i]), &setting, &why)) {
                return refuse(why);
            }
            options->settings.push_back(setting);
            options->mode = Mode::set;
            given += " " + escaped(argv[i]); // more than one is one mode
        } else if (arg == "--help" || arg == "-h") {
            fputs(usage, stdout);
            return 0;
        } else {
            return refuse("unknown argument: " + given, true);
        }
        const int status = mode.clash(key, given);
        if (status >= 0) {
            return status;
        }
    }
    return -1;
}

} // namespace lptmon
