// --log: every recorded write as a line, then each new one, until ended.
#include "follow.h"
#include "modes.h"
#include "render.h"
#include "term.h"

namespace lptmon {

int log_writes(unsigned base)
{
    std::string text;
    uint64_t last_time = 0;
    follow_writes(base, From::kept,
                  {say_line,
                   [&](uint64_t count, const watch::Write &) {
                       text += "(" + std::to_string(count) + " writes came too fast to show)\n";
                   },
                   [&](const watch::Write &write, const std::string &device) {
                       text += write_line(write, last_time, device) + "\n";
                       last_time = write.time_ns;
                   },
                   [&] {
                       if (!text.empty()) {
                           term::write_out(text);
                           text.clear();
                       }
                   }});
    return 0;
}

} // namespace lptmon
