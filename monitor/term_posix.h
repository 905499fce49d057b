// What the two halves of lptmon's POSIX terminal share: the main thread's
// output, screen and signals (term_posix.cpp), and the key thread that
// reads the keys, sees the reader of the output go and carries out the
// stops signal handlers ask for (keys_posix.cpp).
#ifndef LPTMON_TERM_POSIX_H
#define LPTMON_TERM_POSIX_H

#include <atomic>
#include <csignal>

#include <pthread.h>
#include <termios.h>

namespace term_posix {

// The terminal's state, changed by both threads and by signal handlers.
struct State {
    volatile sig_atomic_t stop_asked = 0;
    volatile sig_atomic_t output_closed = 0; // nobody reads what we write any more
    // Counts the writes to the output that took something: whether a slow
    // reader still takes it.
    std::atomic<unsigned> output_moved{0};
    // The keyboard (standard input's terminal) is in single-key mode for `q`.
    volatile sig_atomic_t keys_mode_applied = 0;
    struct termios keys_found_mode = {};
    std::atomic<bool> keys_wanted{false};
    // Frames and lines are written whole, never between the two halves of
    // giving the terminal back and taking it again around a stop.
    pthread_mutex_t output_lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_t main_thread = {};
};
// The one State, owned by term_posix.cpp; async-signal-safe.
State &state();

// Async-signal-safe: the user's screen and keyboard mode back.
void give_back_terminal();
void take_terminal();
// No SA_RESTART: a signal must end the wait at once.
void handle(int sig, void (*handler)(int));
// A closed output ends us as a write to it would have: by SIGPIPE, or with
// status 1 where SIGPIPE is ignored.
int status_at_end(int status);

// The key thread's side: a request from a signal handler ('s' stop, 'z'
// suspend), Ctrl+Z's handler, and the key thread ended before the end.
void notify_key_thread(char what);
void on_suspend(int);
void end_key_thread();

} // namespace term_posix

#endif
