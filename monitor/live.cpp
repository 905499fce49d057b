// The live view: the board, the registers and the timing strip redrawn in
// place, with the switches' keys; plain lines where the output cannot be
// drawn on.
#include "follow.h"
#include "modes.h"
#include "render.h"
#include "switch_keys.h"
#include "term.h"

namespace lptmon {
namespace {

// The latest writes the view draws: enough for the strip's ten seconds at
// any pace a person can follow, without copying the port's whole history
// at every look while a program writes flat out.
const size_t drawn_writes = 8192;

Snapshot take_snapshot(const watch::Port *port, unsigned base)
{
    static watch::Write recent[drawn_writes];
    Snapshot snapshot;
    snapshot.base = base;
    const uint64_t total = watch::write_count(port);
    size_t n = watch::recent_writes(port, recent, drawn_writes);
    snapshot.writes.assign(recent, recent + n);
    for (unsigned reg = 0; reg < watch::register_count; ++reg) {
        snapshot.registers[reg] = watch::read(port, reg);
    }
    snapshot.total_writes = total;
    snapshot.complete = total <= drawn_writes;
    snapshot.now_ns = watch::monotonic_ns();
    snapshot.device = device_of(port);
    return snapshot;
}

// A switch's key opens or closes it: its input pin goes high or low.
void toggle_inputs(watch::Port *port, std::string *problem)
{
    for (char key; (key = term::next_key()) != 0;) {
        const watch::Pin *input = switch_of(key);
        if (input == nullptr) {
            continue;
        }
        char why[1024];
        const bool high = watch::pin_high(*input, watch::read(port, watch::status));
        if (!watch::set_input(port, *input, !high, why, sizeof why)) {
            *problem = why;
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
                          state_line(base, watch::read(port, watch::data), device_of(port));
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

} // namespace

int live(unsigned base, bool terminal)
{
    if (!terminal || !term::take_screen()) {
        follow_plain(base);
        return 0;
    }
    const Glyphs &glyphs = term::utf8() ? unicode_glyphs : ascii_glyphs;
    auto draw_message = [](const std::string &text) { draw({text}); };
    std::string problem;
    follow(base, {draw_message, [&](watch::Port *port, bool) {
                      toggle_inputs(port, &problem);
                      Snapshot snapshot = take_snapshot(port, base);
                      int rows, cols;
                      term::size(&rows, &cols);
                      std::vector<std::string> lines = screen(snapshot, rows, cols, glyphs);
                      if (!problem.empty() && lines.size() > 1) {
                          lines.back() = problem; // in place of the count of writes
                      }
                      draw(lines);
                      // While the strip moves, redraw a few times a second;
                      // when the port has been still for the whole strip,
                      // once a second.
                      bool moving = !snapshot.writes.empty() &&
                                    snapshot.now_ns - snapshot.writes.back().time_ns <
                                        strip_span_ns + 1000000000ull;
                      return moving ? 200 : 1000;
                  }});
    term::release_screen();
    return 0;
}

} // namespace lptmon
