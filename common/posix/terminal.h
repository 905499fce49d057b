// Shared by the POSIX programs that read single keys from a terminal: the
// blinker's console and lptmon. All of it is async-signal-safe, as both
// call it from signal handlers too.
#ifndef LPT_TERMINAL_H
#define LPT_TERMINAL_H

#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

// Only the foreground process group may change the terminal: a background
// one would be stopped for trying.
static inline int terminal_in_foreground(int fd)
{
    pid_t group = tcgetpgrp(fd);
    return group != -1 && group == getpgrp();
}

// `found` with each key delivered at once and not echoed. TCSANOW, never
// TCSAFLUSH: a key already typed stays in the input. Zero on success.
static inline int terminal_set_single_key(int fd, const struct termios *found)
{
    struct termios mode = *found;
    mode.c_lflag &= ~(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &mode);
}

// Installs `handler` for `sig` unless whoever started us ignores it (nohup,
// a background job of a shell without job control): then it stays ignored.
static inline void terminal_handle_signal(int sig, void (*handler)(int), int flags)
{
    struct sigaction old;
    if (sigaction(sig, NULL, &old) != 0 || old.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigaction(sig, &action, NULL);
}

#endif
