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

void Pages::add(const std::string &lines)
{
    const size_t page = 4096;
    if (!text_.empty() && text_.size() + lines.size() > page) {
        flush();
    }
    text_ += lines;
}

void Pages::flush()
{
    if (!text_.empty()) {
        put_(text_);
        text_.clear();
    }
}

void follow(unsigned base, const View &view)
{
    std::string said;
    // Asked to stop: a last look, also at a port that appeared during the
    // nap, so that writes made just before the stop (a program's first
    // ones too) are not left out of a log or a trace.
    for (bool last = false; !last;) {
        last = term::stop_requested();
        watch::Port *port = nullptr;
        char why[1024];
        watch::Opened opened = watch::open(base, &port, why, sizeof why);
        if (opened != watch::opened) {
            // The same folders and files the port library refuses, in its words.
            std::string news = opened == watch::absent
                                   ? "port " + hex(base, 3) +
                                         ": no state yet (the port has never been written); waiting"
                                   : std::string(why) + "; waiting";
            if (!last && news != said) {
                view.waiting(news);
                said = news;
            }
            if (!last) {
                term::nap(250);
            }
            continue;
        }
        said.clear();
        bool fresh = true;
        for (; !term::stop_requested() && !watch::changed(port); fresh = false) {
            const uint32_t seen = watch::changes(port);
            const int wait_ms = view.show(port, fresh);
            if (term::stop_requested()) {
                continue; // the look itself failed to write, or a stop came
            } else if (wait_ms < 0) {
                term::nap(-wait_ms);
            } else {
                watch::wait_for_write(port, seen, wait_ms);
            }
        }
        if (!watch::changed(port)) {
            view.show(port, fresh);
            last = true;
        }
        watch::close(port);
    }
}

void follow_writes(unsigned base, From from, const WriteView &view)
{
    static watch::Write batch[4096];
    const size_t batch_length = sizeof batch / sizeof batch[0];
    uint64_t after = 0;
    bool waited = false, first = true;
    uint64_t stopped_ns = 0;
    auto out_of_time = [&] {
        if (!term::stop_requested()) {
            return false;
        }
        const uint64_t now = watch::monotonic_ns();
        stopped_ns = stopped_ns != 0 ? stopped_ns : now;
        return now - stopped_ns >= 1000000000ull;
    };
    auto waiting = [&](const std::string &news) {
        waited = true;
        view.waiting(news);
    };
    auto look = [&](watch::Port *port, bool fresh) {
        // Told of the writes not kept before the first look only
        // where they belong to what is followed.
        bool count_missed = true;
        if (fresh) {
            // A port waited for, or made anew under us, from its
            // first write (a new file numbers its writes anew).
            const bool from_first = waited || !first || from == From::kept;
            after = from_first ? 0 : watch::write_count(port);
            count_missed = waited || !first;
            first = false;
            if (view.opened) {
                view.opened(port, from_first);
            }
        }
        // A look ends with the writes made before it began: one
        // faster than us would hold it, the output and a stop
        // up for as long as it writes.
        const uint64_t until = watch::write_count(port);
        size_t n = 0, shown = 0;
        bool any = false;
        do {
            uint64_t missed = 0;
            n = watch::writes_after(port, after, batch, batch_length, &missed);
            if (missed > 0 && count_missed) {
                watch::Write next{after + missed + 1, watch::monotonic_ns(), 0, 0, 0};
                view.missed(missed, n > 0 ? batch[0] : next);
            }
            after += missed;
            count_missed = true;
            for (shown = 0; shown < n && batch[shown].number <= until && !out_of_time(); ++shown) {
                char name[128];
                const watch::Write &write = batch[shown];
                const bool named = watch::device_name(port, write.device, name, sizeof name);
                view.write(write, !named ? ""
                                  : watch::device_emulated(port, write.device)
                                      ? std::string("via ") + name
                                      : std::string("real port ") + name);
                after = write.number;
            }
            any = any || shown > 0;
        } while (shown == batch_length && after < until);
        if (shown < n && batch[shown].number <= until) {
            view.missed(until - after, batch[shown]);
            after = until;
        }
        view.looked();
        // While writes stream in, a short nap: waiting on the port
        // would have each writer wake us.
        return any ? -1 : 1000;
    };
    follow(base, {waiting, look});
}

} // namespace lptmon
