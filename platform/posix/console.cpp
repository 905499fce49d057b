// The console on POSIX: the controlling terminal, kept in single-key mode
// without echo from the first _kbhit (or from the start, see
// console_at_start.cpp) while the program runs, and restored on every way out.
#include "lpt_platform.h"
#include "standard_descriptors.h"
#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

int tty_fd = -1;
struct termios found_mode; // as found at start; what every way out restores
volatile sig_atomic_t mode_applied = 0;
// Bytes already waiting when single-key mode was last set: typed for the
// shell before we ran (or while stopped), not ours to discard.
volatile sig_atomic_t waiting_at_start = 0;
// Set on the way out: a SIGCONT after that must not set single-key mode
// again, as nothing would restore it.
volatile sig_atomic_t finished = 0;

// Bytes of one key press arrive together; a gap this long ends the key.
const int key_rest_timeout_ms = 50;

bool in_foreground()
{
    return terminal_in_foreground(tty_fd);
}

// Async-signal-safe.
void apply_console_mode()
{
    if (tty_fd < 0 || finished || !in_foreground()) {
        return;
    }
    if (terminal_set_single_key(tty_fd, &found_mode) == 0) {
        mode_applied = 1;
        // Counted in single-key mode, where a line not yet ended counts too.
        int waiting = 0;
        waiting_at_start = ioctl(tty_fd, FIONREAD, &waiting) == 0 ? waiting : 1;
    }
}

// Async-signal-safe.
void restore_console_mode()
{
    if (tty_fd >= 0 && mode_applied) {
        tcsetattr(tty_fd, TCSANOW, &found_mode);
        mode_applied = 0;
    }
}

// At the normal end, keys typed while we ran go with us: the key that ended
// the blinking must not reach the shell (a Ctrl+D there logs the user out).
// Input that was waiting before we started cannot be told apart from ours,
// so then all of it is left alone.
void restore_console_at_exit()
{
    finished = 1;
    if (tty_fd >= 0 && mode_applied && waiting_at_start == 0 && in_foreground()) {
        tcflush(tty_fd, TCIFLUSH);
    }
    restore_console_mode();
}

void on_terminating_signal(int sig)
{
    int saved_errno = errno;
    restore_console_mode();
    // End by the same signal, so the parent sees how the program ended. The
    // signal is blocked inside its handler and is taken on return.
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

void on_stop_signal(int)
{
    int saved_errno = errno;
    restore_console_mode();
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, NULL);
    raise(SIGTSTP);
    // Continued: be ready for the next Ctrl+Z. SIGCONT re-applies the mode.
    terminal_handle_signal(SIGTSTP, on_stop_signal, SA_RESTART);
    errno = saved_errno;
}

void on_continue_signal(int)
{
    int saved_errno = errno;
    apply_console_mode();
    errno = saved_errno;
}

// Every program of ours: no file it opens takes a standard descriptor's place.
__attribute__((constructor)) void guard_standard_descriptors()
{
    fill_standard_descriptors();
}

bool console_opened = false;

} // namespace

void console_open(void)
{
    if (console_opened) {
        return;
    }
    console_opened = true;
    fill_standard_descriptors(); // whichever constructor runs first
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return; // no controlling terminal: no console, no key presses
    }
    if (fd <= STDERR_FILENO) { // only if /dev/null could not be opened
        int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = high;
    }
    if (fd < 0 || tcgetattr(fd, &found_mode) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    tty_fd = fd;
    atexit(restore_console_at_exit);
    // A crash must not leave the user's terminal without echo either.
    static const int terminating[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGBUS,
                                      SIGSEGV, SIGFPE,  SIGILL, SIGABRT};
    for (int sig : terminating) {
        terminal_handle_signal(sig, on_terminating_signal, SA_RESTART);
    }
    terminal_handle_signal(SIGTSTP, on_stop_signal, SA_RESTART);
    terminal_handle_signal(SIGCONT, on_continue_signal, SA_RESTART);
    apply_console_mode();
}

namespace {

bool next_byte(int fd, unsigned char *byte)
{
    struct pollfd ready = {fd, POLLIN, 0};
    int n;
    do {
        n = poll(&ready, 1, key_rest_timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n == 1 && read(fd, byte, 1) == 1;
}

// A key may send several bytes: an escape sequence for arrows and function
// keys, a multi-byte character. Take all of them, so that the rest of one
// key does not answer the next pause.
void take_rest_of_key(int fd, unsigned char first)
{
    unsigned char byte;
    if (first == 0x1B) {
        if (!next_byte(fd, &byte)) {
            return; // the Esc key itself
        }
        if (byte == 'O') {
            next_byte(fd, &byte); // SS3: one final byte
        } else if (byte == '[') {
            // CSI: parameters and intermediates up to a final byte 0x40..0x7E;
            // the Linux console's F1..F5 send "[[" and one letter.
            bool first_after_csi = true;
            while (next_byte(fd, &byte)) {
                if (first_after_csi && byte == '[') {
                    next_byte(fd, &byte);
                    break;
                }
                first_after_csi = false;
                if (byte >= 0x40 && byte <= 0x7E) {
                    break;
                }
            }
        }
        return; // otherwise Alt and a key: both bytes taken
    }
    int continuation = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
    while (continuation-- > 0 && next_byte(fd, &byte)) {
    }
}

void wait_for_one_key(int fd)
{
    struct termios old_mode;
    bool terminal = isatty(fd) && tcgetattr(fd, &old_mode) == 0;
    if (terminal) {
        terminal_set_single_key(fd, &old_mode);
    }
    unsigned char key;
    ssize_t n;
    do {
        n = read(fd, &key, 1);
    } while (n < 0 && errno == EINTR);
    // End of input or a closed standard input: return at once, never hang.
    if (n == 1 && terminal) {
        take_rest_of_key(fd, key);
    }
    if (terminal) {
        tcsetattr(fd, TCSANOW, &old_mode);
    }
}

} // namespace

int _kbhit(void)
{
    console_open();
    // Keys typed while we run in the background belong to the foreground job.
    if (tty_fd < 0 || !in_foreground()) {
        return 0;
    }
    int waiting = 0;
    if (ioctl(tty_fd, FIONREAD, &waiting) != 0) {
        return 0;
    }
    return waiting > 0;
}

void _sleep(unsigned long milliseconds)
{
    // To an absolute time on the monotonic clock: a signal that interrupts
    // the sleep (a resize, Ctrl+Z and fg) costs no time.
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(milliseconds / 1000);
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

void console_pause(void)
{
    // What the program wrote stands before the prompt, also in a pipe or file.
    fflush(stderr);
    fputs("Press any key to continue . . . ", stdout);
    fflush(stdout);
    wait_for_one_key(STDIN_FILENO);
    fputs("\n", stdout);
    fflush(stdout);
}
