// lptmon's key thread on POSIX systems: the keyboard in single-key mode
// (`q`, and the switches' keys into the key ring), the reader of the output
// going away, and stops (Ctrl+Z) asked for by signal handlers.
#include "key_ring.h"
#include "term.h"
#include "term_posix.h"
#include "terminal.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace term_posix {
namespace {

// How signal handlers reach the key thread: 's' stop, 'z' suspend;
// and the main thread on its way out: 'e' end.
int wake_pipe[2] = {-1, -1};
pthread_t key_thread;
bool key_thread_running = false;
std::atomic<bool> main_ending{false};
KeyRing keys;

void suspend()
{
    pthread_mutex_lock(&state().output_lock);
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
    pthread_mutex_unlock(&state().output_lock);
    pthread_kill(state().main_thread, SIGUSR1); // redraw now
}

// Sees to what the main loop's waits cannot: the `q` key, the reader of our
// output going away, and signal handlers' requests. The main thread is told
// by a signal that ends whatever wait it is in.
void *key_thread_loop(void *)
{
    for (;;) {
        bool keyboard = state().keys_wanted && terminal_in_foreground(STDIN_FILENO);
        struct pollfd ready[3] = {{wake_pipe[0], POLLIN, 0},
                                  {STDOUT_FILENO, 0, 0}, // only POLLERR and POLLHUP
                                  {keyboard ? STDIN_FILENO : -1, POLLIN, 0}};
        // In the background, look again now and then for being brought back.
        if (poll(ready, 3, state().keys_wanted ? 250 : -1) < 0) {
            continue;
        }
        bool stop = state().stop_asked;
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
            state().output_closed = 1;
            stop = true;
        }
        if (ready[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            n = read(STDIN_FILENO, what, sizeof what);
            if (n <= 0) {
                state().keys_wanted = false; // the keyboard is gone; Ctrl+C still quits
            }
            for (ssize_t i = 0; i < n; ++i) {
                stop = stop || what[i] == 'q' || what[i] == 'Q';
                if (!stop) {
                    keys.put(what[i]);
                    pthread_kill(state().main_thread, SIGUSR1); // to take the key now
                }
            }
        }
        if (main_ending) {
            return nullptr;
        }
        if (stop || state().stop_asked) {
            break;
        }
    }
    state().stop_asked = 1;
    pthread_kill(state().main_thread, SIGUSR1);
    // The main thread ends at its next look at stop_asked, at most a second
    // away, and says so; a slow reader of its output is waited for while
    // it takes some. One stuck in a wait that no signal ends, or writing
    // to a reader that takes nothing for two seconds, is not waited for.
    unsigned moved = state().output_moved;
    for (int slice = 0; slice < 20 && !main_ending; ++slice) {
        struct pollfd ending = {wake_pipe[0], POLLIN, 0};
        char what[16];
        if (poll(&ending, 1, 100) > 0 && read(wake_pipe[0], what, sizeof what) < 0) {
            // emptied already: look at main_ending again
        }
        if (state().output_moved != moved) {
            moved = state().output_moved;
            slice = -1;
        }
    }
    if (main_ending) {
        return nullptr;
    }
    if (pthread_mutex_trylock(&state().output_lock) == 0) {
        give_back_terminal();
    } else if (state().keys_mode_applied) {
        // The main thread is stuck writing (output stopped with Ctrl+S, a
        // dead terminal): a write of ours would hang as well, but the
        // keyboard's echo at least comes back.
        tcsetattr(STDIN_FILENO, TCSANOW, &state().keys_found_mode);
    }
    _exit(status_at_end(0));
}

} // namespace

void notify_key_thread(char what)
{
    int saved_errno = errno;
    if (write(wake_pipe[1], &what, 1) < 0) {
        // full: the key thread has enough to do already
    }
    errno = saved_errno;
}

void on_suspend(int)
{
    notify_key_thread('z');
}

void end_key_thread()
{
    if (key_thread_running) {
        main_ending = true;
        notify_key_thread('e');
        pthread_join(key_thread, nullptr);
        key_thread_running = false;
    }
    for (int &fd : wake_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

} // namespace term_posix

namespace term {

void start_key_thread(bool keyboard)
{
    using namespace term_posix;
    state().keys_wanted = keyboard && tcgetattr(STDIN_FILENO, &state().keys_found_mode) == 0;
    state().main_thread = pthread_self();
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    // Signals go to the main thread, where they end its wait.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    key_thread_running = pthread_create(&key_thread, nullptr, key_thread_loop, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

char next_key()
{
    return term_posix::keys.take();
}

} // namespace term
