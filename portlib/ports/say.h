// What the port library tells its user: one line at a time on standard
// error, built in fixed buffers, as it may allocate nothing to say that it
// is out of memory.
#ifndef LPT_SAY_H
#define LPT_SAY_H

#include <stddef.h>

namespace ports {

// One line of its own on standard error, "inpout32: " first.
void say(const char *text);
// Appends to a message, cut short rather than overflowing.
void append(char *text, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
// `text` as a message shows it: control characters and bytes that are no
// UTF-8 letter as \n, \r, \t or \xHH, so that a setting can neither split
// the line nor command the terminal; cut at a whole letter to fit `size`.
const char *as_shown(const char *text, size_t length, char *shown, size_t size);
// Appends what a user set (a name, a path), at most `length` bytes of it,
// as as_shown shows it.
void append_escaped(char *text, size_t size, const char *value, size_t length = (size_t)-1);

} // namespace ports

#endif
