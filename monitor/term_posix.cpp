// The terminal and the operating system for lptmon on POSIX systems:
// signals, the keyboard in single-key mode, the alternate screen, stops
// (Ctrl+Z) and a closed output.
#include "term.h"
#include "standard_descriptors.h"
#include "terminal.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_asked = 0;
volatile sig_atomic_t output_closed = 0; // nobody reads what we write any more
// Also read by the signal handlers that give the terminal back.
std::atomic<bool> screen_taken{false};
// The keyboard (standard input's terminal) is in single-key mode for `q`.
volatile sig_atomic_t keys_mode_applied = 0;
struct termios keys_found_mode;
std::atomic<bool> keys_wanted{false};

// Frames and lines are written whole, never between the two halves of
// giving the terminal back and taking it again around a stop.
pthread_mutex_t output_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_t main_thread;
// How signal handlers reach the watcher thread: 's' stop, 'z' suspend;
// and the main thread on its way out: 'e' end.
int wake_pipe[2] = {-1, -1};
pthread_t watcher;
bool watcher_running = false;
std::atomic<bool> main_ending{false};

const char take_sequence[] = "\x1b[?1049h\x1b[?25l";    // own screen, cursor hidden
const char release_sequence[] = "\x1b[?25h\x1b[?1049l"; // cursor visible, the user's screen

// Async-signal-safe; also what write_out uses, so that a signal that ends
// a wait never cuts a line short.
bool write_all(const char *text, size_t size)
{
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, text, size);
        if (n > 0) {
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

// Async-signal-safe: the user's screen and keyboard mode back.
void give_back_terminal()
{
    if (screen_taken.exchange(false)) {
        write_all(release_sequence, sizeof release_sequence - 1);
    }
    if (keys_mode_applied) {
        tcsetattr(STDIN_FILENO, TCSANOW, &keys_found_mode);
        keys_mode_applied = 0;
    }
}

void take_terminal()
{
    screen_taken = true;
    write_all(take_sequence, sizeof take_sequence - 1);
    // Only the foreground may change the terminal; a background one would
    // be stopped for trying.
    if (keys_wanted && terminal_in_foreground(STDIN_FILENO) &&
        terminal_set_single_key(STDIN_FILENO, &keys_found_mode) == 0) {
        keys_mode_applied = 1;
    }
}

void notify_watcher(char what)
{
    int saved_errno = errno;
    if (write(wake_pipe[1], &what, 1) < 0) {
        // full: the watcher has enough to do already
    }
    errno = saved_errno;
}

void on_stop(int)
{
    stop_asked = 1;
    notify_watcher('s');
}
void on_wake(int) {}
void on_suspend(int)
{
    notify_watcher('z');
}

// Ctrl+\ and crashes: the terminal back, then die of the same signal. The
// signal is blocked inside its handler and is taken on return.
void on_fatal(int sig)
{
    give_back_terminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

// No SA_RESTART: a signal must end the wait at once.
void handle(int sig, void (*handler)(int))
{
    terminal_handle_signal(sig, handler, 0);
}

// A closed output ends us as a write to it would have: by SIGPIPE, or with
// status 1 where SIGPIPE is ignored.
int status_at_end(int status)
{
    if (!output_closed) {
        return status;
    }
    struct sigaction pipe_action;
    if (sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler == SIG_DFL) {
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe_signal, nullptr); // also from the watcher thread
        raise(SIGPIPE);
    }
    return 1;
}

void suspend()
{
    pthread_mutex_lock(&output_lock);
    give_back_terminal();
    // Stopped by the signal's default action, sent to this thread alone so
    // that nothing below runs before the stop.
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, &old);
    pthread_kill(pthread_self(), SIGTSTP);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    handle(SIGTSTP, on_suspend);
    take_terminal();
    pthread_mutex_unlock(&output_lock);
    pthread_kill(main_thread, SIGUSR1); // redraw now
}

void (*key_handler)(char) = nullptr;

// Watches what the main loop's waits cannot: the `q` key, the reader of our
// output going away, and signal handlers' requests. The main thread is told
// by a signal that ends whatever wait it is in.
void *watch(void *)
{
    for (;;) {
        bool keys = keys_wanted && terminal_in_foreground(STDIN_FILENO);
        struct pollfd ready[3] = {{wake_pipe[0], POLLIN, 0},
                                  {STDOUT_FILENO, 0, 0}, // only POLLERR and POLLHUP
                                  {keys ? STDIN_FILENO : -1, POLLIN, 0}};
        // In the background, look again now and then for being brought back.
        if (poll(ready, 3, keys_wanted ? 250 : -1) < 0) {
            continue;
        }
        bool stop = stop_asked;
        char what[16];
        ssize_t n;
        if ((ready[0].revents & POLLIN) && (n = read(wake_pipe[0], what, sizeof what)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (what[i] == 'z') {
                    suspend();
                }
            }
        }
        if (ready[1].revents & (POLLERR | POLLHUP)) {
            output_closed = 1;
            stop = true;
        }
        if (ready[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            n = read(STDIN_FILENO, what, sizeof what);
            if (n <= 0) {
                keys_wanted = false; // the keyboard is gone; Ctrl+C still quits
            }
            for (ssize_t i = 0; i < n; ++i) {
                stop = stop || what[i] == 'q' || what[i] == 'Q';
                if (!stop && key_handler != nullptr) {
                    key_handler(what[i]);
                    pthread_kill(main_thread, SIGUSR1); // to take the key now
                }
            }
        }
        if (main_ending) {
            return nullptr;
        }
        if (stop || stop_asked) {
            break;
        }
    }
    stop_asked = 1;
    pthread_kill(main_thread, SIGUSR1);
    // The main thread ends at its next look at stop_asked, at most a second
    // away, and says so. One stuck in a wait that no signal ends is not
    // waited for.
    for (int slice = 0; slice < 20 && !main_ending; ++slice) {
        struct pollfd ending = {wake_pipe[0], POLLIN, 0};
        char what[16];
        if (poll(&ending, 1, 100) > 0 && read(wake_pipe[0], what, sizeof what) < 0) {
            // emptied already: look at main_ending again
        }
    }
    if (main_ending) {
        return nullptr;
    }
    if (pthread_mutex_trylock(&output_lock) == 0) {
        give_back_terminal();
    } else if (keys_mode_applied) {
        // The main thread is stuck writing (output stopped with Ctrl+S, a
        // dead terminal): a write of ours would hang as well, but the
        // keyboard's echo at least comes back.
        tcsetattr(STDIN_FILENO, TCSANOW, &keys_found_mode);
    }
    _exit(status_at_end(0));
}

void give_back_screen()
{
    pthread_mutex_lock(&output_lock);
    give_back_terminal();
    pthread_mutex_unlock(&output_lock);
}

// The watcher ended and its pipe closed, before the end status is taken.
void end_watcher()
{
    if (watcher_running) {
        main_ending = true;
        notify_watcher('e');
        pthread_join(watcher, nullptr);
        watcher_running = false;
    }
    for (int &fd : wake_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

} // namespace

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
    handle(SIGUSR1, on_wake); // from the watcher thread: look at stop_asked
    for (int sig : {SIGQUIT, SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGABRT}) {
        handle(sig, on_fatal);
    }
}

bool stop_requested()
{
    return stop_asked != 0;
}

bool output_is_terminal()
{
    return isatty(STDOUT_FILENO);
}

bool input_is_terminal()
{
    return isatty(STDIN_FILENO);
}

void start_watcher(bool keys, void (*on_key)(char))
{
    key_handler = on_key;
    keys_wanted = keys && tcgetattr(STDIN_FILENO, &keys_found_mode) == 0;
    main_thread = pthread_self();
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    // Signals go to the main thread, where they end its wait.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    watcher_running = pthread_create(&watcher, nullptr, watch, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void write_out(const std::string &text)
{
    pthread_mutex_lock(&output_lock);
    if (!write_all(text.data(), text.size())) {
        output_closed = 1;
        stop_asked = 1;
    }
    pthread_mutex_unlock(&output_lock);
}

void write_error(const std::string &text)
{
    fputs(text.c_str(), stderr);
}

bool take_screen()
{
    atexit(give_back_screen);
    pthread_mutex_lock(&output_lock);
    take_terminal();
    pthread_mutex_unlock(&output_lock);
    handle(SIGTSTP, on_suspend);
    return true;
}

void release_screen()
{
    give_back_screen();
}

void size(int *rows, int *cols)
{
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        *rows = size.ws_row;
        *cols = size.ws_col;
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
    end_watcher();
    return status_at_end(status);
}

} // namespace term
