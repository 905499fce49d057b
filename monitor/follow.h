// The one loop every following mode runs (the log, the trace, the live
// view): it waits for the port, looks at it after each write and opens it
// anew when it was rebuilt or replaced, until asked to stop.
#ifndef LPTMON_FOLLOW_H
#define LPTMON_FOLLOW_H

#include "watch.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace lptmon {

// What a following mode does with the port: tells what it waits for while
// the port is not there yet, and shows each look at it.
struct View {
    std::function<void(const std::string &)> waiting;
    // `fresh`: the first look since the port was opened (anew). Returns how
    // long to wait for the next write before looking again, in ms; below
    // zero, how long to nap before looking again whatever comes.
    std::function<int(watch::Port *, bool fresh)> show;
};
void follow(unsigned base, const View &view);

// What a mode that takes every write does: says what it waits for, is
// told of writes that came too fast to read before the next one it gets,
// gets each write once, in order, with the device it went to ("real port
// /dev/parport0", "via in/out (lptrun)"; "" for the virtual port's own),
// and is told when a look is done. `opened`, where set, is told when the
// port is opened (anew), and whether its writes come from its first one on.
struct WriteView {
    std::function<void(const std::string &)> waiting;
    std::function<void(uint64_t count, const watch::Write &next)> missed;
    std::function<void(const watch::Write &write, const std::string &device)> write;
    std::function<void()> looked;
    std::function<void(watch::Port *port, bool from_first)> opened = nullptr;
};
// Where the writes start: with the oldest the port still keeps (the log),
// or with the first after the port is first opened (a trace, which starts
// when it is started). A port that is not there yet, or that is made anew
// while followed, is followed from its first write, and the writes it no
// longer kept by then are told as missed.
enum class From { kept, now };
void follow_writes(unsigned base, From from, const WriteView &view);

// The hardware port the writes went to, as the last writer marked them; ""
// for the virtual port's own.
std::string device_of(const watch::Port *port);
// A line on standard output.
void say_line(const std::string &text);

// Text that goes out a page of whole lines at a time, as it is made, so
// that memory stays bounded at any rate of writes; a pipe takes a page
// of up to 4096 bytes (PIPE_BUF) whole, so that an end forced while the
// reader is slow never leaves half a line.
class Pages {
  public:
    explicit Pages(std::function<void(const std::string &)> put) : put_(std::move(put)) {}
    // Whole lines.
    void add(const std::string &lines);
    void flush();

  private:
    std::function<void(const std::string &)> put_;
    std::string text_;
};

} // namespace lptmon

#endif
