// What the two halves of lptmon's Windows console share: the main thread's
// output, screen and Ctrl+C (term_windows.cpp), and the threads that read
// the keys and see the reader of the output go (keys_windows.cpp).
#ifndef LPTMON_TERM_WINDOWS_H
#define LPTMON_TERM_WINDOWS_H

#include <windows.h>

namespace term_windows {

// The console's state, changed by the main thread and the key threads.
struct State {
    volatile LONG output_closed = 0; // nobody reads what we write any more
    // The keyboard's mode as found, given back on the way out.
    bool keys_taken = false;
    DWORD found_input_mode = 0;
};
// The one State, owned by term_windows.cpp.
State &state();

HANDLE output();
HANDLE input();
// Ends the main thread's wait, to look at once; ask_stop also ends its loop.
void wake_main();
void ask_stop();
// The console's modes and screen back, once.
void give_back();

} // namespace term_windows

#endif
