// lptmon: shows a virtual parallel port as a person would look at the LED
// board: the data lines as LEDs, the registers, and a timing strip; or a real
// port's writes, which the port library records in the same state file. It
// reads the port's state file and never writes the port. The terminal and the
// operating system are in term_*.cpp, one file per platform.
#include "render.h"
#include "term.h"
#include "watch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

const char usage[] = "usage: lptmon [--port ADDRESS] [--once | --log]\n"
                     "  --port ADDRESS  the port to watch (default 0x3BC)\n"
                     "  --once          print the data register as one line and exit\n"
                     "  --log           print every recorded write, following new ones\n"
                     "Without --once or --log: a live view of the LEDs, the registers and\n"
                     "the data lines over the last seconds. q or Ctrl+C quits.\n";

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
    std::function<int(const watch::Port *, bool fresh)> show;
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
        for (bool fresh = true; !term::stop_requested() && !watch::changed(port); fresh = false) {
            const uint32_t seen = watch::changes(port);
            watch::wait_for_write(port, seen, view.show(port, fresh));
        }
        watch::close(port);
    }
}

void say_line(const std::string &text)
{
    term::write_out(text + "\n");
}

// Every recorded write as a line, and the writes missed between two looks.
void log_writes(unsigned base)
{
    static watch::Write recent[watch::history_length];
    uint64_t last = 0, last_time = 0;
    follow(base, {say_line, [&](const watch::Port *port, bool fresh) {
                      if (fresh) {
                          last = 0; // a new file numbers its writes anew
                      }
                      size_t n = watch::recent_writes(port, recent, watch::history_length);
                      // The port the writes went to, as marked by the last writer.
                      const std::string device = device_of(port);
                      std::string text;
                      for (size_t i = 0; i < n; ++i) {
                          if (recent[i].number <= last) {
                              continue;
                          }
                          if (last != 0 && recent[i].number > last + 1) {
                              text += "(" + std::to_string(recent[i].number - last - 1) +
                                      " writes came too fast to show)\n";
                          }
                          text += lptmon::write_line(recent[i], last_time, device) + "\n";
                          last = recent[i].number;
                          last_time = recent[i].time_ns;
                      }
                      if (!text.empty()) {
                          term::write_out(text);
                      }
                      return 1000;
                  }});
}

// Plain lines for a pipe or a file: the state each time it changes.
void follow_plain(unsigned base)
{
    std::string shown;
    follow(base, {say_line, [&](const watch::Port *port, bool) {
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
    follow(base, {draw_message, [&](const watch::Port *port, bool) {
                      lptmon::Snapshot snapshot = take_snapshot(port, base);
                      int rows, cols;
                      term::size(&rows, &cols);
                      draw(lptmon::screen(snapshot, rows, cols, glyphs));
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
    enum { live, once_mode, log_mode } mode = live;
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
    const bool live_view_wanted = mode == live && term::output_is_terminal();
    term::start_watcher(live_view_wanted && term::input_is_terminal());
    if (mode == log_mode) {
        log_writes(base);
    } else if (!live_view_wanted) {
        follow_plain(base);
    } else {
        live_view(base);
    }
    return term::end_status(0);
}
