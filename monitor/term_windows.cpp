// The console and the operating system for lptmon on Windows: Ctrl+C and
// the closing of the console, `q` on the keyboard, and the live view drawn
// with the console's virtual terminal sequences where it has them.
#include "term.h"
#include "console_text.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

volatile LONG stop_asked = 0;
volatile LONG output_closed = 0; // nobody reads what we write any more
// The main thread, whose waits are alertable: a queued call ends them.
HANDLE main_thread = nullptr;
// Frames and lines are written whole, and the console is given back once.
SRWLOCK output_lock = SRWLOCK_INIT;

bool screen_taken = false;
DWORD found_output_mode = 0;
UINT found_output_page = 0;
bool keys_taken = false;
DWORD found_input_mode = 0;

const char take_sequence[] = "\x1b[?1049h\x1b[?25l";    // own screen, cursor hidden
const char release_sequence[] = "\x1b[?25h\x1b[?1049l"; // cursor visible, the user's screen

HANDLE output()
{
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

HANDLE input()
{
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool is_console(HANDLE h)
{
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

void CALLBACK wake_up(ULONG_PTR) {}

void ask_stop()
{
    InterlockedExchange(&stop_asked, 1);
    if (main_thread != nullptr) {
        QueueUserAPC(wake_up, main_thread, 0);
    }
}

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
    if (keys_taken) {
        keys_taken = false;
        SetConsoleMode(input(), found_input_mode);
    }
    ReleaseSRWLockExclusive(&output_lock);
}

void (*key_handler)(char) = nullptr;

// Reads the keyboard for `q` and the other keys; Ctrl+C still comes as a
// control event.
DWORD WINAPI watch_keys(void *)
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
            if (key_handler != nullptr && key.uChar.AsciiChar != 0) {
                key_handler(key.uChar.AsciiChar);
                QueueUserAPC(wake_up, main_thread, 0); // to take the key now
            }
        }
    }
}

// ---- the reader of our output ------------------------------------------------
// Windows tells that a pipe's reader has gone only to a write; a write of
// nothing asks without adding to the output. Under Wine on Linux (where the
// Windows package runs too) the pipe is Linux's own, which answers no write
// of nothing: Linux's poll() is asked there, as lptmon does on Linux.

// Wine on a Linux kernel only: elsewhere the system call below means
// something else, or nothing.
bool under_wine_on_linux()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) {
        return false;
    }
    typedef void(CDECL * host_version_fn)(const char **, const char **);
    auto host_version = reinterpret_cast<host_version_fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_host_version")));
    const char *system = nullptr;
    const char *release = nullptr;
    if (host_version != nullptr) {
        host_version(&system, &release);
    }
    return system != nullptr && strcmp(system, "Linux") == 0;
}

struct LinuxPollFd {
    int fd;
    short events;
    short revents;
};

// poll(&fd, 1, 0) straight to the Linux kernel; -1 where that cannot be.
long linux_poll_now(LinuxPollFd *fd)
{
    long result = -1;
#if defined(__i386__)
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(168L), "b"(fd), "c"(1L), "d"(0L) : "memory");
#elif defined(__x86_64__)
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(7L), "D"(fd), "S"(1L), "d"(0L)
                     : "rcx", "r11", "memory");
#else
    (void)fd;
#endif
    return result;
}

bool reader_gone(HANDLE out, bool wine)
{
    if (wine) {
        LinuxPollFd fd = {1, 0, 0}; // Wine leaves the program Linux's standard output
        return linux_poll_now(&fd) == 1 && (fd.revents & (0x8 | 0x10)) != 0; // POLLERR, POLLHUP
    }
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
DWORD WINAPI watch_reader(void *)
{
    const bool wine = under_wine_on_linux();
    while (!reader_gone(output(), wine)) {
        Sleep(200);
    }
    InterlockedExchange(&output_closed, 1);
    ask_stop();
    return 0;
}

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

void start_watcher(bool keys, void (*on_key)(char))
{
    key_handler = on_key;
    if (GetFileType(output()) == FILE_TYPE_PIPE) {
        HANDLE thread = CreateThread(nullptr, 0, watch_reader, nullptr, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    if (!keys || !GetConsoleMode(input(), &found_input_mode)) {
        return;
    }
    // Keys one at a time and unechoed; Ctrl+C stays a control event.
    const DWORD mode =
        (found_input_mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT;
    if (SetConsoleMode(input(), mode)) {
        keys_taken = true;
        atexit(give_back);
    }
    HANDLE thread = CreateThread(nullptr, 0, watch_keys, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
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
    AcquireSRWLockExclusive(&output_lock);
    if (!write_all(text.data(), text.size())) {
        InterlockedExchange(&output_closed, 1);
        ask_stop();
    }
    ReleaseSRWLockExclusive(&output_lock);
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
    return InterlockedCompareExchange(&output_closed, 0, 0) != 0 ? 1 : status;
}

} // namespace term
