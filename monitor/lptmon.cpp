// lptmon: shows a virtual parallel port as a person would look at the LED
// board: the data lines as LEDs, the registers, and a timing strip. It reads
// the port's state file and never writes the port.
#include "render.h"
#include "vport.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_requested = 0;
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
// How signal handlers reach the watcher thread: 's' stop, 'z' suspend.
int wake_pipe[2] = {-1, -1};

const char usage[] = "usage: lptmon [--port ADDRESS] [--once | --log]\n"
                     "  --port ADDRESS  the port to watch (default 0x3BC)\n"
                     "  --once          print the data register as one line and exit\n"
                     "  --log           print every recorded write, following new ones\n"
                     "Without --once or --log: a live view of the LEDs, the registers and\n"
                     "the data lines over the last seconds. q or Ctrl+C quits.\n";

const char take_sequence[] = "\x1b[?1049h\x1b[?25l";    // own screen, cursor hidden
const char release_sequence[] = "\x1b[?25h\x1b[?1049l"; // cursor visible, the user's screen

bool in_foreground(int fd)
{
    pid_t group = tcgetpgrp(fd);
    return group != -1 && group == getpgrp();
}

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
    if (keys_wanted && in_foreground(STDIN_FILENO)) {
        struct termios mode = keys_found_mode;
        mode.c_lflag &= ~(ICANON | ECHO);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0) {
            keys_mode_applied = 1;
        }
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
    stop_requested = 1;
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

void handle(int sig, void (*handler)(int))
{
    struct sigaction old;
    // What whoever started us ignores (nohup, a background job) stays ignored.
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal must end the wait at once.
    sigaction(sig, &action, nullptr);
}

void catch_signals()
{
    handle(SIGINT, on_stop);
    handle(SIGTERM, on_stop);
    handle(SIGHUP, on_stop);
    handle(SIGWINCH, on_wake);
    handle(SIGUSR1, on_wake); // from the watcher thread: look at stop_requested
    for (int sig : {SIGQUIT, SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGABRT}) {
        handle(sig, on_fatal);
    }
}

// A closed output ends us as a write to it would have: by SIGPIPE, or with
// status 1 where SIGPIPE is ignored.
int end_status(int status)
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

// Watches what the main loop's waits cannot: the `q` key, the reader of our
// output going away, and signal handlers' requests. The main thread is told
// by a signal that ends whatever wait it is in.
void *watch(void *)
{
    for (;;) {
        bool keys = keys_wanted && in_foreground(STDIN_FILENO);
        struct pollfd ready[3] = {{wake_pipe[0], POLLIN, 0},
                                  {STDOUT_FILENO, 0, 0}, // only POLLERR and POLLHUP
                                  {keys ? STDIN_FILENO : -1, POLLIN, 0}};
        // In the background, look again now and then for being brought back.
        if (poll(ready, 3, keys_wanted ? 250 : -1) < 0) {
            continue;
        }
        bool stop = stop_requested;
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
            }
        }
        if (stop || stop_requested) {
            break;
        }
    }
    stop_requested = 1;
    pthread_kill(main_thread, SIGUSR1);
    // The main thread ends at its next look at stop_requested, at most a
    // second away. One stuck in a wait that no signal ends is not waited for.
    poll(nullptr, 0, 2000);
    if (pthread_mutex_trylock(&output_lock) == 0) {
        give_back_terminal();
    }
    _exit(end_status(0));
}

void start_watcher(bool keys)
{
    keys_wanted = keys && tcgetattr(STDIN_FILENO, &keys_found_mode) == 0;
    main_thread = pthread_self();
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    // Signals go to the main thread, where they end its wait.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, watch, nullptr) == 0) {
        pthread_detach(thread);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void write_out(const std::string &text)
{
    pthread_mutex_lock(&output_lock);
    if (!write_all(text.data(), text.size())) {
        output_closed = 1;
        stop_requested = 1;
    }
    pthread_mutex_unlock(&output_lock);
}

void release_screen()
{
    pthread_mutex_lock(&output_lock);
    give_back_terminal();
    pthread_mutex_unlock(&output_lock);
}

void take_screen()
{
    atexit(release_screen);
    pthread_mutex_lock(&output_lock);
    take_terminal();
    pthread_mutex_unlock(&output_lock);
    handle(SIGTSTP, on_suspend);
}

// Started with standard input, output or error closed, the state file would
// take its number, and our output would be written into it.
void fill_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number: this one, as the ones below are open.
            int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null > fd) {
                close(null);
            }
        }
    }
}

std::string state_path(unsigned base)
{
    char path[512] = "";
    vport::state_path(base, path, sizeof path);
    return path;
}

// The file was replaced, removed, shrunk, rebuilt or damaged since we mapped
// it: time to open it anew.
bool replaced(const vport::Port &port, unsigned)
{
    return vport::changed(&port);
}

lptmon::Snapshot take_snapshot(const vport::State *state, unsigned base)
{
    static vport::Write recent[vport::history_length];
    lptmon::Snapshot snapshot;
    snapshot.base = base;
    const uint64_t next = vport::load(&state->next_write);
    size_t n = vport::recent_writes(state, recent, vport::history_length);
    snapshot.writes.assign(recent, recent + n);
    for (unsigned reg = 0; reg < vport::register_count; ++reg) {
        snapshot.registers[reg] = vport::read(state, reg);
    }
    snapshot.total_writes = next - 1;
    snapshot.complete = next - 1 <= vport::history_length;
    snapshot.now_ns = vport::monotonic_ns();
    return snapshot;
}

// Sleeps until the port is written or `timeout_ms` passes, or a signal comes.
void wait_for_change(const vport::Port &port, uint32_t seen, int timeout_ms)
{
    vport::wait_for_change(&port, seen, timeout_ms);
}

// Opens the port's state, waiting while it does not exist yet; false when
// stopped. `waiting` is told once what is awaited.
bool open_when_written(unsigned base, vport::Port *port, void (*waiting)(const std::string &))
{
    std::string said;
    while (!stop_requested) {
        char why[1024];
        vport::Found found = vport::open_existing(base, port, why, sizeof why);
        if (found == vport::found) {
            return true;
        }
        // The same folders and files the port library refuses, in its words.
        std::string news = found == vport::never_written
                               ? "port " + lptmon::hex(base, 3) +
                                     ": no state yet (the port has never been written); waiting"
                               : std::string(why) + "; waiting";
        if (news != said) {
            waiting(news);
            said = news;
        }
        poll(nullptr, 0, 250);
    }
    return false;
}

int once(unsigned base)
{
    vport::Port port;
    char why[1024];
    vport::Found found = vport::open_existing(base, &port, why, sizeof why);
    // A port only ever read has a state file, but nothing was written to it.
    const bool written = found == vport::found && vport::load(&port.state->next_write) > 1;
    const uint8_t data = found == vport::found ? vport::read(port.state, vport::data) : 0;
    if (found == vport::found && vport::lost(&port)) {
        found = vport::unusable;
        snprintf(why, sizeof why, "%s shrank while being read", port.path);
    }
    if (found == vport::found) {
        vport::close(&port);
    }
    if (found == vport::unusable) {
        fprintf(stderr, "lptmon: %s\n", why);
        return 1;
    }
    if (!written) {
        fprintf(stderr, "lptmon: port %s has never been written (no write in %s)\n",
                lptmon::hex(base, 3).c_str(), state_path(base).c_str());
        return 1;
    }
    write_out(lptmon::state_line(base, data) + "\n");
    return 0;
}

void say_line(const std::string &text)
{
    write_out(text + "\n");
}

int log_writes(unsigned base)
{
    static vport::Write recent[vport::history_length];
    vport::Port port;
    uint64_t last = 0, last_time = 0;
    while (open_when_written(base, &port, say_line)) {
        while (!stop_requested && !replaced(port, base)) {
            const uint32_t seen = vport::load(&port.state->changes);
            size_t n = vport::recent_writes(port.state, recent, vport::history_length);
            std::string text;
            for (size_t i = 0; i < n; ++i) {
                if (recent[i].number <= last) {
                    continue;
                }
                if (last != 0 && recent[i].number > last + 1) {
                    text += "(" + std::to_string(recent[i].number - last - 1) +
                            " writes came too fast to show)\n";
                }
                text += lptmon::write_line(recent[i], last_time) + "\n";
                last = recent[i].number;
                last_time = recent[i].time_ns;
            }
            if (!text.empty()) {
                write_out(text);
            }
            wait_for_change(port, seen, 1000);
        }
        vport::close(&port);
        last = 0; // a new file numbers its writes anew
    }
    return 0;
}

// Plain lines for a pipe or a file: the state each time it changes.
int follow_plain(unsigned base)
{
    vport::Port port;
    std::string shown;
    while (open_when_written(base, &port, say_line)) {
        while (!stop_requested && !replaced(port, base)) {
            const uint32_t seen = vport::load(&port.state->changes);
            std::string line = lptmon::state_line(base, vport::read(port.state, vport::data));
            if (line != shown) {
                say_line(line);
                shown = line;
            }
            wait_for_change(port, seen, 1000);
        }
        vport::close(&port);
    }
    return 0;
}

void terminal_size(int *rows, int *cols)
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

void draw(const std::vector<std::string> &lines)
{
    std::string frame = "\x1b[H";
    for (size_t i = 0; i < lines.size(); ++i) {
        frame += lines[i] + "\x1b[K";
        if (i + 1 < lines.size()) {
            frame += "\r\n";
        }
    }
    write_out(frame + "\x1b[J");
}

void draw_message(const std::string &text)
{
    draw({text});
}

int live_view(unsigned base, const lptmon::Glyphs &glyphs)
{
    take_screen();
    vport::Port port;
    while (open_when_written(base, &port, draw_message)) {
        while (!stop_requested && !replaced(port, base)) {
            const uint32_t seen = vport::load(&port.state->changes);
            lptmon::Snapshot snapshot = take_snapshot(port.state, base);
            int rows, cols;
            terminal_size(&rows, &cols);
            draw(lptmon::screen(snapshot, rows, cols, glyphs));
            // While the strip moves, redraw a few times a second; when the
            // port has been still for the whole strip, once a second.
            bool moving = !snapshot.writes.empty() &&
                          snapshot.now_ns - snapshot.writes.back().time_ns < 11000000000ull;
            wait_for_change(port, seen, moving ? 200 : 1000);
        }
        vport::close(&port);
    }
    release_screen();
    return 0;
}

bool parse_address(const char *text, unsigned *base)
{
    char *end;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 0xFFFF) {
        return false;
    }
    *base = static_cast<unsigned>(value) & ~3u; // any of its registers names the port
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const bool output_missing = fcntl(STDOUT_FILENO, F_GETFD) == -1;
    fill_standard_descriptors();
    unsigned base = 0x3BC;
    enum { live, once_mode, log_mode } mode = live;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--once") {
            mode = once_mode;
        } else if (arg == "--log") {
            mode = log_mode;
        } else if (arg == "--port" || arg == "-p") {
            if (i + 1 == argc) {
                fprintf(stderr, "lptmon: %s needs a port address\n%s", arg.c_str(), usage);
                return 2;
            }
            if (!parse_address(argv[++i], &base)) {
                fprintf(stderr, "lptmon: not a port address: %s\n%s", argv[i], usage);
                return 2;
            }
        } else if (arg == "--help" || arg == "-h") {
            fputs(usage, stdout);
            return 0;
        } else {
            fprintf(stderr, "lptmon: unknown argument: %s\n%s", arg.c_str(), usage);
            return 2;
        }
    }
    if (output_missing) {
        fputs("lptmon: standard output is closed\n", stderr);
        return 1;
    }
    catch_signals();
    if (mode == once_mode) {
        return end_status(once(base));
    }
    const bool live_view_wanted = mode == live && isatty(STDOUT_FILENO);
    start_watcher(live_view_wanted && isatty(STDIN_FILENO));
    if (mode == log_mode) {
        return end_status(log_writes(base));
    }
    if (!live_view_wanted) {
        return end_status(follow_plain(base));
    }
    setlocale(LC_CTYPE, "");
    bool utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    return end_status(live_view(base, utf8 ? lptmon::unicode_glyphs : lptmon::ascii_glyphs));
}
