// Linked into the blinker alone: its console is in single-key mode from the
// start, so a key typed before the first _kbhit is not echoed, as in the
// Windows console. Other programs of ours leave the terminal alone.
#include "lpt_platform.h"

namespace {

__attribute__((constructor)) void open_console_at_start()
{
    console_open();
}

} // namespace
