// lptmon's key threads on Windows: the keyboard (`q`, and the
// switches' keys into the key ring) and the reader of the output going away.
#include "key_ring.h"
#include "term.h"
#include "term_windows.h"

#include <stdlib.h>

namespace term_windows {
namespace {

KeyRing keys;

// Reads the keyboard for `q` and the other keys; Ctrl+C still comes as a
// control event.
DWORD WINAPI read_keys(void *)
{
    for (;;) {
        INPUT_RECORD records[16];
        DWORD n = 0;
        if (WaitForSingleObject(input(), INFINITE) != WAIT_OBJECT_0 ||
            !ReadConsoleInputA(input(), records, 16, &n)) {
            return 0; // the keyboard is gone; Ctrl+C still quits
        }
        for (DWORD i = 0; i < n; ++i) {
            const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
            if (records[i].EventType != KEY_EVENT || !key.bKeyDown) {
                continue;
            }
            if (key.uChar.AsciiChar == 'q' || key.uChar.AsciiChar == 'Q') {
                ask_stop();
                return 0;
            }
            if (key.uChar.AsciiChar != 0) {
                keys.put(key.uChar.AsciiChar);
                wake_main(); // to take the key now
            }
        }
    }
}

// Windows tells that a pipe's reader has gone only to a write; a write of
// nothing asks without adding to the output. Where a pipe does not answer
// it (Wine's), the next real write tells.
bool reader_gone(HANDLE out)
{
    DWORD written = 0;
    if (WriteFile(out, "", 0, &written, nullptr)) {
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// Looks a few times a second: while the port is idle nothing else would
// notice that nobody reads any more.
DWORD WINAPI wait_for_reader_gone(void *)
{
    while (!reader_gone(output())) {
        Sleep(200);
    }
    InterlockedExchange(&state().output_closed, 1);
    ask_stop();
    return 0;
}

void start_thread(LPTHREAD_START_ROUTINE routine)
{
    HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

} // namespace
} // namespace term_windows

namespace term {

void start_key_thread(bool keyboard)
{
    using namespace term_windows;
    if (GetFileType(output()) == FILE_TYPE_PIPE) {
        start_thread(wait_for_reader_gone);
    }
    if (!keyboard || !GetConsoleMode(input(), &state().found_input_mode)) {
        return;
    }
    // Keys one at a time and unechoed; Ctrl+C stays a control event.
    const DWORD mode = (state().found_input_mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
                       ENABLE_PROCESSED_INPUT;
    if (SetConsoleMode(input(), mode)) {
        state().keys_taken = true;
        atexit(give_back);
    }
    start_thread(read_keys);
}

char next_key()
{
    return term_windows::keys.take();
}

} // namespace term
