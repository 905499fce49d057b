// The console and the operating system for lptmon on Windows: Ctrl+C and
// the closing of the console, and the live view drawn with the console's
// virtual terminal sequences where it has them. The keyboard and the reader
// of the output are watched from threads of their own (keys_windows.cpp).
#include "term.h"
#include "console_text.h"
#include "term_windows.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <cerrno>
#include <string>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace term_windows {

namespace {

State shared; // state() is the way to it

volatile LONG stop_asked = 0;
volatile LONG failed = 0;

// The main thread, whose waits are alertable: a queued call ends them.
HANDLE main_thread = nullptr;
// Frames and lines are written whole, and the console is given back once.
SRWLOCK output_lock = SRWLOCK_INIT;

bool screen_taken = false;
DWORD found_output_mode = 0;
UINT found_output_page = 0;

const char take_sequence[] = "\x1b[?1049h\x1b[?25l";    // own screen, cursor hidden
const char release_sequence[] = "\x1b[?25h\x1b[?1049l"; // cursor visible, the user's screen

bool is_console(HANDLE h)
{
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

void CALLBACK wake_up(ULONG_PTR) {}

// Ctrl+C, Ctrl+Break, the console closed: the main thread ends its loop and
// gives the console back on its way out.
BOOL WINAPI on_control(DWORD)
{
    ask_stop();
    return TRUE;
}

// Text on its way to a console, under output_lock.
wchar_t wide[8192];

// On a console the text goes as its characters; elsewhere (pipes, files)
// the UTF-8 bytes go as they are.
bool write_console(HANDLE h, const char *text, size_t size)
{
    return console_text::write(h, text, size, wide, sizeof wide / sizeof wide[0]);
}

bool write_all(const char *text, size_t size)
{
    // The live view's screen has the console in UTF-8 already.
    if (!screen_taken && fflush(stdout) == 0 && write_console(output(), text, size)) {
        return true;
    }
    return fwrite(text, 1, size, stdout) == size && fflush(stdout) == 0;
}

} // namespace

State &state()
{
    return shared;
}

HANDLE output()
{
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

HANDLE input()
{
    return GetStdHandle(STD_INPUT_HANDLE);
}

void wake_main()
{
    if (main_thread != nullptr) {
        QueueUserAPC(wake_up, main_thread, 0);
    }
}

void ask_stop()
{
    InterlockedExchange(&stop_asked, 1);
    wake_main();
}

void give_back()
{
    AcquireSRWLockExclusive(&output_lock);
    if (screen_taken) {
        screen_taken = false;
        write_all(release_sequence, sizeof release_sequence - 1);
        SetConsoleMode(output(), found_output_mode);
        if (found_output_page != 0) {
            SetConsoleOutputCP(found_output_page);
        }
    }
    if (state().keys_taken) {
        state().keys_taken = false;
        SetConsoleMode(input(), state().found_input_mode);
    }
    ReleaseSRWLockExclusive(&output_lock);
}

namespace {

// Some consoles accept the mode but print the sequences as text. A cursor
// move to an absolute column tells: where it is not obeyed, its four
// characters are printed instead, and are then blanked out again.
bool sequences_work(HANDLE out)
{
    CONSOLE_SCREEN_BUFFER_INFO before, after;
    fflush(stdout);
    if (!GetConsoleScreenBufferInfo(out, &before)) {
        return false;
    }
    const COORD at = before.dwCursorPosition;
    const char *probe = at.X == 1 ? "\x1b[3G" : "\x1b[2G"; // to column 2 or 1 (from 0)
    const SHORT expected = at.X == 1 ? 2 : 1;
    DWORD written = 0, filled = 0;
    const bool ok = WriteConsoleA(out, probe, 4, &written, nullptr) &&
                    GetConsoleScreenBufferInfo(out, &after) &&
                    after.dwCursorPosition.X == expected && after.dwCursorPosition.Y == at.Y;
    if (!ok) {
        FillConsoleOutputCharacterA(out, ' ', 4, at, &filled);
    }
    SetConsoleCursorPosition(out, at);
    return ok;
}

} // namespace
} // namespace term_windows

using namespace term_windows;

namespace term {

bool output_missing()
{
    HANDLE h = output();
    return h == nullptr || h == INVALID_HANDLE_VALUE;
}

// Nothing to do: the state files are reached through handles of their own,
// never through the numbers of the standard streams.
void fill_standard_streams() {}

void catch_signals()
{
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_control, TRUE);
}

bool stop_requested()
{
    return InterlockedCompareExchange(&stop_asked, 0, 0) != 0;
}

bool output_is_terminal()
{
    return is_console(output());
}

bool input_is_terminal()
{
    return is_console(input());
}

void write_error(const std::string &text)
{
    AcquireSRWLockExclusive(&output_lock);
    if (!write_console(GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size())) {
        fputs(text.c_str(), stderr);
        fflush(stderr);
    }
    ReleaseSRWLockExclusive(&output_lock);
}

void write_out(const std::string &text)
{
    if (InterlockedCompareExchange(&failed, 0, 0) != 0) {
        return;
    }
    AcquireSRWLockExclusive(&output_lock);
    errno = 0;
    SetLastError(ERROR_SUCCESS);
    const bool written = write_all(text.data(), text.size());
    const int error = errno;
    const DWORD system_error = GetLastError();
    ReleaseSRWLockExclusive(&output_lock);
    if (written) {
        return;
    }
    // A pipe whose reader went away (or a console gone) ends us quietly; a
    // full disk or a broken device is said.
    if (error == EPIPE || error == 0 || system_error == ERROR_NO_DATA ||
        system_error == ERROR_BROKEN_PIPE) {
        InterlockedExchange(&state().output_closed, 1);
        ask_stop();
    } else {
        fail("lptmon: cannot write standard output: " + std::string(strerror(error)) + "\n");
    }
}

void fail(const std::string &message)
{
    if (InterlockedExchange(&failed, 1) == 0) {
        write_error(message);
    }
    ask_stop();
}

bool take_screen()
{
    HANDLE out = output();
    if (!GetConsoleMode(out, &found_output_mode)) {
        return false;
    }
    if (!SetConsoleMode(out, found_output_mode | ENABLE_PROCESSED_OUTPUT |
                                 ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
        !sequences_work(out)) {
        SetConsoleMode(out, found_output_mode);
        return false; // an older console: plain lines
    }
    found_output_page = GetConsoleOutputCP();
    if (!SetConsoleOutputCP(CP_UTF8)) {
        found_output_page = 0;
    }
    // The frames carry their own line ends.
    _setmode(_fileno(stdout), _O_BINARY);
    AcquireSRWLockExclusive(&output_lock);
    screen_taken = true;
    write_all(take_sequence, sizeof take_sequence - 1);
    ReleaseSRWLockExclusive(&output_lock);
    atexit(give_back);
    return true;
}

void release_screen()
{
    give_back();
}

void size(int *rows, int *cols)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(output(), &info)) {
        *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
        *cols = info.srWindow.Right - info.srWindow.Left + 1;
    } else {
        *rows = 24;
        *cols = 80;
    }
}

bool utf8()
{
    return GetConsoleOutputCP() == CP_UTF8;
}

void nap(int ms)
{
    SleepEx(static_cast<DWORD>(ms), TRUE);
}

int end_status(int status)
{
    return InterlockedCompareExchange(&state().output_closed, 0, 0) != 0 ||
                   InterlockedCompareExchange(&failed, 0, 0) != 0
               ? 1
               : status;
}

} // namespace term
