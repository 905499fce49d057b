// What the port library tells its user: one line at a time on standard
// error, built in fixed buffers, as it may allocate nothing to say that it
// is out of memory.
#ifndef LPT_SAY_H
#define LPT_SAY_H

#include <stddef.h>

// One line of its own on standard error, "inpout32: " first.
void lpt_say(const char *text);
// Appends to a message, cut short rather than overflowing.
void lpt_append(char *text, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Appends what a user set (a name, a path), at most `length` bytes of it,
// with control characters escaped (\n, \x1B, \u009B) so that they can neither
// split the line nor act on the screen; bytes that are no UTF-8 as \xHH.
// Cut short on a character's boundary, never inside a letter or an escape.
void lpt_append_escaped(char *text, size_t size, const char *value, size_t length = (size_t)-1);

#endif
