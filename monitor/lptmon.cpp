// lptmon: shows a virtual parallel port as a person would look at the LED
// board: the data lines as LEDs, the registers, and a timing strip; or a real
// port's writes, which the port library records in the same state file. It
// reads the port's state file and never writes the port. The terminal and the
// operating system are in term_*.cpp, one file per platform.
#include "render.h"
#include "term.h"
#include "vcd.h"
#include "watch.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

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

struct Setting {
    const watch::Pin *input;
    bool high;
};

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

// Sets the inputs, then ends: for scripts and tests.
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

std::string state_path(unsigned base)
{
    char path[512] = "";
    watch::state_path(base, path, sizeof path);
    return path;
}

// The hardware port the writes went to, as the last writer marked them; ""
// for the virtual port's own.
std::string device_of(const watch::Port *port)
{
    char name[128];
    return watch::device(port, name, sizeof name) ? name : "";
}

lptmon::Snapshot take_snapshot(const watch::Port *port, unsigned base)
{
    static watch::Write recent[watch::history_length];
    lptmon::Snapshot snapshot;
    snapshot.base = base;
    const uint64_t total = watch::write_count(port);
    size_t n = watch::recent_writes(port, recent, watch::history_length);
    snapshot.writes.assign(recent, recent + n);
    for (unsigned reg = 0; reg < watch::register_count; ++reg) {
        snapshot.registers[reg] = watch::read(port, reg);
    }
    snapshot.total_writes = total;
    snapshot.complete = total <= watch::history_length;
    snapshot.now_ns = watch::now_ns();
    snapshot.device = device_of(port);
    return snapshot;
}

int once(unsigned base)
{
    watch::Port *port = nullptr;
    char why[1024];
    watch::Opened opened = watch::open(base, &port, why, sizeof why);
    // A port only ever read has a state file, but nothing was written to it.
    const bool written = opened == watch::opened && watch::write_count(port) > 0;
    const uint8_t data = opened == watch::opened ? watch::read(port, watch::data) : 0;
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
        term::write_error("lptmon: port " + lptmon::hex(base, 3) +
                          " has never been written (no write in " + state_path(base) + ")\n");
        return 1;
    }
    term::write_out(lptmon::state_line(base, data, device) + "\n");
    return 0;
}

// What a following mode does with the port: tells what it waits for while
// the port is not there yet, and shows each look at it.
struct View {
    std::function<void(const std::string &)> waiting;
    // `fresh`: the first look since the port was opened (anew). Returns how
    // long to wait for the next write before looking again, in ms.
    std::function<int(watch::Port *, bool fresh)> show;
};

// The one loop of every following mode: waits until the port has been
// written, shows it after each write, and opens it anew when it was
// rebuilt or replaced, until stopped.
void follow(unsigned base, const View &view)
{
    std::string said;
    while (!term::stop_requested()) {
        watch::Port *port = nullptr;
        char why[1024];
        watch::Opened opened = watch::open(base, &port, why, sizeof why);
        if (opened != watch::opened) {
            // The same folders and files the port library refuses, in its words.
            std::string news = opened == watch::never_written
                                   ? "port " + lptmon::hex(base, 3) +
                                         ": no state yet (the port has never been written); waiting"
                                   : std::string(why) + "; waiting";
            if (news != said) {
                view.waiting(news);
                said = news;
            }
            term::nap(250);
            continue;
        }
        said.clear();
        bool fresh = true;
        for (; !term::stop_requested() && !watch::changed(port); fresh = false) {
            const uint32_t seen = watch::changes(port);
            watch::wait_for_write(port, seen, view.show(port, fresh));
        }
        // Asked to stop: a last look, so that writes made just before the
        // stop are not left out of a log or a trace.
        if (term::stop_requested() && !watch::changed(port)) {
            view.show(port, fresh);
        }
        watch::close(port);
    }
}

void say_line(const std::string &text)
{
    term::write_out(text + "\n");
}

// What a mode that takes every write does: says what it waits for, is
// told of writes that came too fast to read before the next one it gets,
// gets each write once, in order, and is told when a look is done.
struct WriteView {
    std::function<void(const std::string &)> waiting;
    std::function<void(uint64_t count, const watch::Write &next)> missed;
    std::function<void(const watch::Write &write, const std::string &device)> write;
    std::function<void()> looked;
};

void follow_writes(unsigned base, const WriteView &view)
{
    static watch::Write recent[watch::history_length];
    uint64_t last = 0;
    follow(base, {view.waiting, [&](watch::Port *port, bool fresh) {
                      if (fresh) {
                          last = 0; // a new file numbers its writes anew
                      }
                      size_t n = watch::recent_writes(port, recent, watch::history_length);
                      // The port the writes went to, as marked by the last writer.
                      const std::string device = device_of(port);
                      for (size_t i = 0; i < n; ++i) {
                          if (recent[i].number <= last) {
                              continue;
                          }
                          if (last != 0 && recent[i].number > last + 1) {
                              view.missed(recent[i].number - last - 1, recent[i]);
                          }
                          view.write(recent[i], device);
                          last = recent[i].number;
                      }
                      view.looked();
                      return 1000;
                  }});
}

void log_writes(unsigned base)
{
    std::string text;
    uint64_t last_time = 0;
    follow_writes(base, {say_line,
                         [&](uint64_t count, const watch::Write &) {
                             text +=
                                 "(" + std::to_string(count) + " writes came too fast to show)\n";
                         },
                         [&](const watch::Write &write, const std::string &device) {
                             text += lptmon::write_line(write, last_time, device) + "\n";
                             last_time = write.time_ns;
                         },
                         [&] {
                             if (!text.empty()) {
                                 term::write_out(text);
                                 text.clear();
                             }
                         }});
}

// The trace of the pins, to `path` or standard output, until ended; a
// last time at the end, so that readers show the last change.
int write_trace(unsigned base, const char *path)
{
    auto cannot_write = [&] {
        term::write_error("lptmon: cannot write " + std::string(path) + ": " + strerror(errno) +
                          "\n");
        return 1;
    };
    FILE *file = path != nullptr ? fopen(path, "w") : nullptr;
    if (path != nullptr && file == nullptr) {
        return cannot_write();
    }
    std::string text = vcd::header(base);
    bool written = true;
    auto put = [&] {
        if (file != nullptr) {
            written = written && fwrite(text.data(), 1, text.size(), file) == text.size() &&
                      fflush(file) == 0;
        } else {
            term::write_out(text);
        }
        text.clear();
    };
    vcd::Pins pins;
    uint64_t start_ns = 0;
    auto us = [&](uint64_t ns) { return ns > start_ns ? (ns - start_ns) / 1000 : 0; };
    put();
    follow_writes(
        base,
        {[](const std::string &news) { term::write_error("lptmon: " + news + "\n"); },
         [&](uint64_t count, const watch::Write &next) {
             text += vcd::missed(us(next.time_ns), &pins, count);
             char said[160];
             snprintf(said, sizeof said,
                      "lptmon: %llu writes came too fast to record, before %.6f s in the trace\n",
                      static_cast<unsigned long long>(count),
                      static_cast<double>(us(next.time_ns)) / 1e6);
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
             text += vcd::change(us(write.time_ns), &pins, write);
         },
         put});
    if (start_ns == 0) {
        start_ns = watch::now_ns();
        text += vcd::start(0, &pins);
    }
    text += vcd::end(us(watch::now_ns()), &pins);
    put();
    if (file != nullptr && (fclose(file) != 0 || !written)) {
        return cannot_write();
    }
    return 0;
}

// Keys from the watcher's thread for the live view's loop: one writer, one
// reader; a key beyond the few that wait is dropped, as a held key repeats.
const unsigned key_room = 16;
char key_ring[key_room];
std::atomic<unsigned> keys_in{0}, keys_out{0};

void key_pressed(char key)
{
    const unsigned in = keys_in.load();
    if (in - keys_out.load() < key_room) {
        key_ring[in % key_room] = key;
        keys_in.store(in + 1);
    }
}

char next_key()
{
    const unsigned out = keys_out.load();
    if (out == keys_in.load()) {
        return 0;
    }
    const char key = key_ring[out % key_room];
    keys_out.store(out + 1);
    return key;
}

// A switch's key opens or closes it: its input pin goes high or low.
void toggle_inputs(watch::Port *port, std::string *problem)
{
    for (char key; (key = next_key()) != 0;) {
        for (const watch::Pin &input : watch::input_pins) {
            if ((key | 0x20) != input.key) {
                continue;
            }
            char why[1024];
            const bool high = watch::pin_high(input, watch::read(port, watch::status));
            if (!watch::set_input(port, input, !high, why, sizeof why)) {
                *problem = why;
            }
        }
    }
}

// Plain lines for a pipe or a file: the state each time it changes.
void follow_plain(unsigned base)
{
    std::string shown;
    follow(base, {say_line, [&](watch::Port *port, bool) {
                      // A terminal that cannot be drawn on still has the
                      // switches' keys.
                      std::string problem;
                      toggle_inputs(port, &problem);
                      if (!problem.empty()) {
                          say_line(problem);
                      }
                      std::string line =
                          lptmon::state_line(base, watch::read(port, watch::data), device_of(port));
                      if (line != shown) {
                          say_line(line);
                          shown = line;
                      }
                      return 1000;
                  }});
}

void draw(const std::vector<std::string> &lines)
{
    std::string frame = "\x1b[H";
    for (size_t i = 0; i < lines.size(); ++i) {
        frame += lines[i] + "\x1b[K";
        if (i + 1 < lines.size()) {
            frame += "\r\n";
        }
    }
    term::write_out(frame + "\x1b[J");
}

void live_view(unsigned base)
{
    if (!term::take_screen()) {
        follow_plain(base);
        return;
    }
    const lptmon::Glyphs &glyphs = term::utf8() ? lptmon::unicode_glyphs : lptmon::ascii_glyphs;
    auto draw_message = [](const std::string &text) { draw({text}); };
    std::string problem;
    follow(base, {draw_message, [&](watch::Port *port, bool) {
                      toggle_inputs(port, &problem);
                      lptmon::Snapshot snapshot = take_snapshot(port, base);
                      int rows, cols;
                      term::size(&rows, &cols);
                      std::vector<std::string> lines = lptmon::screen(snapshot, rows, cols, glyphs);
                      if (!problem.empty() && lines.size() > 1) {
                          lines.back() = problem; // in place of the count of writes
                      }
                      draw(lines);
                      // While the strip moves, redraw a few times a second;
                      // when the port has been still for the whole strip,
                      // once a second.
                      bool moving =
                          !snapshot.writes.empty() &&
                          snapshot.now_ns - snapshot.writes.back().time_ns < 11000000000ull;
                      return moving ? 200 : 1000;
                  }});
    term::release_screen();
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

int main(int argc, char **argv)
{
    const bool output_missing = term::output_missing();
    term::fill_standard_streams();
    unsigned base = 0x3BC;
    enum { live, once_mode, log_mode, set_mode, trace_mode } mode = live;
    const char *trace_path = nullptr;
    std::vector<Setting> settings;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--once") {
            mode = once_mode;
        } else if (arg == "--log") {
            mode = log_mode;
        } else if (arg == "--port" || arg == "-p") {
            if (i + 1 == argc) {
                fprintf(stderr, "lptmon: %s needs a port address\n%s", arg.c_str(), usage);
                return 2;
            }
            if (!parse_address(argv[++i], &base)) {
                fprintf(stderr, "lptmon: not a port address: %s\n%s", argv[i], usage);
                return 2;
            }
        } else if (arg == "--vcd") {
            mode = trace_mode;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                trace_path = argv[++i];
            }
        } else if (arg == "--set") {
            Setting setting;
            std::string why = "--set needs PIN=low or PIN=high";
            if (i + 1 == argc || !parse_setting(argv[++i], &setting, &why)) {
                fprintf(stderr, "lptmon: %s\n", why.c_str());
                return 2;
            }
            settings.push_back(setting);
            mode = set_mode;
        } else if (arg == "--help" || arg == "-h") {
            fputs(usage, stdout);
            return 0;
        } else {
            fprintf(stderr, "lptmon: unknown argument: %s\n%s", arg.c_str(), usage);
            return 2;
        }
    }
    if (output_missing) {
        fputs("lptmon: standard output is closed\n", stderr);
        return 1;
    }
    term::catch_signals();
    if (mode == once_mode) {
        return term::end_status(once(base));
    }
    if (mode == set_mode) {
        return set_inputs(base, settings);
    }
    const bool live_view_wanted = mode == live && term::output_is_terminal();
    term::start_watcher(live_view_wanted && term::input_is_terminal(), key_pressed);
    if (mode == trace_mode) {
        return term::end_status(write_trace(base, trace_path));
    }
    if (mode == log_mode) {
        log_writes(base);
    } else if (!live_view_wanted) {
        follow_plain(base);
    } else {
        live_view(base);
    }
    return term::end_status(0);
}
