// What the two halves of lptmon's POSIX terminal share: the main thread's
// output, screen and signals (term_posix.cpp), and the watcher thread
// that reads the keys and sees the reader of the output go (watcher_posix.cpp).
#ifndef LPTMON_TERM_POSIX_H
#define LPTMON_TERM_POSIX_H

#include <atomic>
#include <csignal>

#include <pthread.h>
#include <termios.h>

namespace term_posix {

extern volatile sig_atomic_t stop_asked;
extern volatile sig_atomic_t output_closed; // nobody reads what we write any more
// Counts the writes to the output that took something: whether a slow
// reader still takes it.
extern std::atomic<unsigned> output_moved;
// The keyboard (standard input's terminal) is in single-key mode for `q`.
extern volatile sig_atomic_t keys_mode_applied;
extern struct termios keys_found_mode;
extern std::atomic<bool> keys_wanted;
// Frames and lines are written whole, never between the two halves of
// giving the terminal back and taking it again around a stop.
extern pthread_mutex_t output_lock;
extern pthread_t main_thread;

// Async-signal-safe: the user's screen and keyboard mode back.
void give_back_terminal();
void take_terminal();
// No SA_RESTART: a signal must end the wait at once.
void handle(int sig, void (*handler)(int));
// A closed output ends us as a write to it would have: by SIGPIPE, or with
// status 1 where SIGPIPE is ignored.
int status_at_end(int status);

// The watcher's side: a request from a signal handler ('s' stop, 'z'
// suspend), Ctrl+Z's handler, and the watcher ended before the end.
void notify_watcher(char what);
void on_suspend(int);
void end_watcher();

} // namespace term_posix

#endif
