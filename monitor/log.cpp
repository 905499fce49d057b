// --log: every recorded write as a line, then each new one, until ended.
#include "follow.h"
#include "modes.h"
#include "render.h"
#include "term.h"

namespace lptmon {

int log_writes(unsigned base)
{
    Pages pages(term::write_out);
    uint64_t last_time = 0;
    follow_writes(base, From::kept,
                  {say_line,
                   [&](uint64_t count, const watch::Write &) {
                       pages.add("(" + std::to_string(count) + " writes came too fast to show)\n");
                   },
                   [&](const watch::Write &write, const std::string &device) {
                       pages.add(write_line(write, last_time, device) + "\n");
                       last_time = write.time_ns;
                   },
                   [&] { pages.flush(); }});
    return 0;
}

} // namespace lptmon
