// The monotonic clock in nanoseconds, for the POSIX programs and the port
// library alike: the times a writer records and a watcher compares are of
// one clock.
#ifndef LPT_MONOTONIC_H
#define LPT_MONOTONIC_H

#include <stdint.h>
#include <time.h>

static inline uint64_t monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

#endif
