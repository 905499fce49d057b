#include "follow.h"
#include "render.h"
#include "term.h"

namespace lptmon {

std::string device_of(const watch::Port *port)
{
    char name[128];
    return watch::device(port, name, sizeof name) ? name : "";
}

void say_line(const std::string &text)
{
    term::write_out(text + "\n");
}

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
                                   ? "port " + hex(base, 3) +
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

} // namespace lptmon
