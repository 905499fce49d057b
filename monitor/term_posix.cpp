// The terminal and the operating system for lptmon on POSIX systems:
// signals, the alternate screen, the output and a closed output. The
// keyboard and stops (Ctrl+Z) are seen to by a thread of its own
// (keys_posix.cpp).
#include "term.h"
#include "standard_descriptors.h"
#include "term_posix.h"
#include "terminal.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace term_posix {

namespace {

State shared; // state() is the way to it

// Also read by the signal handlers that give the terminal back.
std::atomic<bool> screen_taken{false};
volatile sig_atomic_t failed = 0;

const char take_sequence[] = "\x1b[?1049h\x1b[?25l";    // own screen, cursor hidden
const char release_sequence[] = "\x1b[?25h\x1b[?1049l"; // cursor visible, the user's screen

// Async-signal-safe; also what write_out uses, so that a signal that ends
// a wait never cuts a line short.
bool write_all(const char *text, size_t size)
{
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, text, size);
        if (n > 0) {
            state().output_moved.fetch_add(1, std::memory_order_relaxed);
            text += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            struct pollfd ready = {STDOUT_FILENO, POLLOUT, 0};
            poll(&ready, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

void on_stop(int)
{
    state().stop_asked = 1;
    notify_key_thread('s');
}
void on_wake(int) {}

// Ctrl+\ and crashes: the terminal back, then die of the same signal. The
// signal is blocked inside its handler and is taken on return.
void on_fatal(int sig)
{
    give_back_terminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

void give_back_screen()
{
    pthread_mutex_lock(&state().output_lock);
    give_back_terminal();
    pthread_mutex_unlock(&state().output_lock);
}

} // namespace

State &state()
{
    return shared;
}

void give_back_terminal()
{
    if (screen_taken.exchange(false)) {
        write_all(release_sequence, sizeof release_sequence - 1);
    }
    if (state().keys_mode_applied) {
        tcsetattr(STDIN_FILENO, TCSANOW, &state().keys_found_mode);
        state().keys_mode_applied = 0;
    }
}

void take_terminal()
{
    screen_taken = true;
    write_all(take_sequence, sizeof take_sequence - 1);
    // Only the foreground may change the terminal; a background one would
    // be stopped for trying.
    if (state().keys_wanted && terminal_in_foreground(STDIN_FILENO) &&
        terminal_set_single_key(STDIN_FILENO, &state().keys_found_mode) == 0) {
        state().keys_mode_applied = 1;
    }
}

void handle(int sig, void (*handler)(int))
{
    terminal_handle_signal(sig, handler, 0);
}

int status_at_end(int status)
{
    if (!state().output_closed) {
        return status;
    }
    struct sigaction pipe_action;
    if (sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler == SIG_DFL) {
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe_signal, nullptr); // also from the key thread
        raise(SIGPIPE);
    }
    return 1;
}

} // namespace term_posix

using namespace term_posix;

namespace term {

bool output_missing()
{
    return fcntl(STDOUT_FILENO, F_GETFD) == -1;
}

void fill_standard_streams()
{
    fill_standard_descriptors();
}

void catch_signals()
{
    handle(SIGINT, on_stop);
    handle(SIGTERM, on_stop);
    handle(SIGHUP, on_stop);
    handle(SIGWINCH, on_wake);
    handle(SIGUSR1, on_wake); // from the key thread: look at stop_asked
    for (int sig : {SIGQUIT, SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGABRT}) {
        handle(sig, on_fatal);
    }
}

bool stop_requested()
{
    return state().stop_asked != 0;
}

bool output_is_terminal()
{
    return isatty(STDOUT_FILENO);
}

bool input_is_terminal()
{
    return isatty(STDIN_FILENO);
}

void utf8_arguments(int *, char ***) {}

void write_out(const std::string &text)
{
    if (failed) {
        return;
    }
    pthread_mutex_lock(&state().output_lock);
    const bool written = write_all(text.data(), text.size());
    const int error = errno;
    pthread_mutex_unlock(&state().output_lock);
    if (written) {
        return;
    }
    // SIGPIPE (or EPIPE where it is ignored) is for a reader that went
    // away; a full disk or a broken device is said.
    if (error == EPIPE) {
        state().output_closed = 1;
        state().stop_asked = 1;
    } else {
        fail("lptmon: cannot write standard output: " + std::string(strerror(error)) + "\n");
    }
}

void fail(const std::string &message)
{
    if (!failed) {
        failed = 1;
        write_error(message);
    }
    state().stop_asked = 1;
}

FILE *create_file(const char *path)
{
    return fopen(path, "w");
}

void write_error(const std::string &text)
{
    fputs(text.c_str(), stderr);
}

bool take_screen()
{
    atexit(give_back_screen);
    pthread_mutex_lock(&state().output_lock);
    take_terminal();
    pthread_mutex_unlock(&state().output_lock);
    handle(SIGTSTP, on_suspend);
    return true;
}

void release_screen()
{
    give_back_screen();
}

void size(int *rows, int *cols)
{
    struct winsize window;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_row > 0 && window.ws_col > 0) {
        *rows = window.ws_row;
        *cols = window.ws_col;
    } else {
        *rows = 24;
        *cols = 80;
    }
}

bool utf8()
{
    setlocale(LC_CTYPE, "");
    return strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

void nap(int ms)
{
    poll(nullptr, 0, ms);
}

int end_status(int status)
{
    end_key_thread();
    return failed ? 1 : status_at_end(status);
}

} // namespace term
