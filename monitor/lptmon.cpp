// lptmon: shows a virtual parallel port as a person would look at the LED
// board: the data lines as LEDs, the registers, and a timing strip; or a real
// port's writes, which the port library records in the same state file. It
// reads the port's state file and never writes the port. The terminal and the
// operating system are in term_*.cpp, one file per platform.
#include "render.h"
#include "term.h"
#include "vport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    vport::state_path(base, path, sizeof path);
    return path;
}

lptmon::Snapshot take_snapshot(const vport::Port &port, unsigned base)
{
    static vport::Write recent[vport::history_length];
    lptmon::Snapshot snapshot;
    snapshot.base = base;
    const uint64_t total = vport::write_count(&port);
    size_t n = vport::recent_writes(&port, recent, vport::history_length);
    snapshot.writes.assign(recent, recent + n);
    for (unsigned reg = 0; reg < vport::register_count; ++reg) {
        snapshot.registers[reg] = vport::read(&port, reg);
    }
    snapshot.total_writes = total;
    snapshot.complete = total <= vport::history_length;
    snapshot.now_ns = vport::monotonic_ns();
    snapshot.real_port = vport::real_port(&port);
    return snapshot;
}

// Opens the port's state, waiting while it does not exist yet; false when
// stopped. `waiting` is told once what is awaited.
bool open_when_written(unsigned base, vport::Port *port, void (*waiting)(const std::string &))
{
    std::string said;
    while (!term::stop_requested()) {
        char why[1024];
        vport::Found found = vport::open_existing(base, port, why, sizeof why);
        if (found == vport::found) {
            return true;
        }
        // The same folders and files the port library refuses, in its words.
        std::string news = found == vport::never_written
                               ? "port " + lptmon::hex(base, 3) +
                                     ": no state yet (the port has never been written); waiting"
                               : std::string(why) + "; waiting";
        if (news != said) {
            waiting(news);
            said = news;
        }
        term::nap(250);
    }
    return false;
}

int once(unsigned base)
{
    vport::Port port;
    char why[1024];
    vport::Found found = vport::open_existing(base, &port, why, sizeof why);
    // A port only ever read has a state file, but nothing was written to it.
    const bool written = found == vport::found && vport::write_count(&port) > 0;
    const uint8_t data = found == vport::found ? vport::read(&port, vport::data) : 0;
    const uint32_t real_port = found == vport::found ? vport::real_port(&port) : 0;
    if (found == vport::found && vport::lost(&port)) {
        found = vport::unusable;
        snprintf(why, sizeof why, "%s shrank while being read", port.path);
    }
    if (found == vport::found) {
        vport::close(&port);
    }
    if (found == vport::unusable) {
        term::write_error("lptmon: " + std::string(why) + "\n");
        return 1;
    }
    if (!written) {
        term::write_error("lptmon: port " + lptmon::hex(base, 3) +
                          " has never been written (no write in " + state_path(base) + ")\n");
        return 1;
    }
    term::write_out(lptmon::state_line(base, data, real_port) + "\n");
    return 0;
}

void say_line(const std::string &text)
{
    term::write_out(text + "\n");
}

int log_writes(unsigned base)
{
    static vport::Write recent[vport::history_length];
    vport::Port port;
    uint64_t last = 0, last_time = 0;
    while (open_when_written(base, &port, say_line)) {
        while (!term::stop_requested() && !vport::changed(&port)) {
            const uint32_t seen = vport::changes(&port);
            size_t n = vport::recent_writes(&port, recent, vport::history_length);
            // The port the writes went to, as marked by the last writer.
            const uint32_t real_port = vport::real_port(&port);
            std::string text;
            for (size_t i = 0; i < n; ++i) {
                if (recent[i].number <= last) {
                    continue;
                }
                if (last != 0 && recent[i].number > last + 1) {
                    text += "(" + std::to_string(recent[i].number - last - 1) +
                            " writes came too fast to show)\n";
                }
                text += lptmon::write_line(recent[i], last_time, real_port) + "\n";
                last = recent[i].number;
                last_time = recent[i].time_ns;
            }
            if (!text.empty()) {
                term::write_out(text);
            }
            vport::wait_for_change(&port, seen, 1000);
        }
        vport::close(&port);
        last = 0; // a new file numbers its writes anew
    }
    return 0;
}

// Plain lines for a pipe or a file: the state each time it changes.
int follow_plain(unsigned base)
{
    vport::Port port;
    std::string shown;
    while (open_when_written(base, &port, say_line)) {
        while (!term::stop_requested() && !vport::changed(&port)) {
            const uint32_t seen = vport::changes(&port);
            std::string line =
                lptmon::state_line(base, vport::read(&port, vport::data), vport::real_port(&port));
            if (line != shown) {
                say_line(line);
                shown = line;
            }
            vport::wait_for_change(&port, seen, 1000);
        }
        vport::close(&port);
    }
    return 0;
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

void draw_message(const std::string &text)
{
    draw({text});
}

int live_view(unsigned base)
{
    if (!term::take_screen()) {
        return follow_plain(base);
    }
    const lptmon::Glyphs &glyphs = term::utf8() ? lptmon::unicode_glyphs : lptmon::ascii_glyphs;
    vport::Port port;
    while (open_when_written(base, &port, draw_message)) {
        while (!term::stop_requested() && !vport::changed(&port)) {
            const uint32_t seen = vport::changes(&port);
            lptmon::Snapshot snapshot = take_snapshot(port, base);
            int rows, cols;
            term::size(&rows, &cols);
            draw(lptmon::screen(snapshot, rows, cols, glyphs));
            // While the strip moves, redraw a few times a second; when the
            // port has been still for the whole strip, once a second.
            bool moving = !snapshot.writes.empty() &&
                          snapshot.now_ns - snapshot.writes.back().time_ns < 11000000000ull;
            vport::wait_for_change(&port, seen, moving ? 200 : 1000);
        }
        vport::close(&port);
    }
    term::release_screen();
    return 0;
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
        return term::end_status(log_writes(base));
    }
    if (!live_view_wanted) {
        return term::end_status(follow_plain(base));
    }
    return term::end_status(live_view(base));
}
