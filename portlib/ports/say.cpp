#include "say.h"
#include "one_line_escape.h"
#include "os.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace ports {

void say(const char *text)
{
    // On a line of its own: the first port write often follows a prompt
    // that has no line break yet, as the blinker's own text has none.
    char line[2200];
    snprintf(line, sizeof line, "\ninpout32: %s\n", text);
    os::write_error(line);
}

void append(char *text, size_t size, const char *format, ...)
{
    size_t used = strlen(text);
    if (used + 1 >= size) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text + used, size - used, format, arguments);
    va_end(arguments);
}

const char *as_shown(const char *text, size_t length, char *shown, size_t size)
{
    return one_line_escape(text, length, shown, size);
}

void append_escaped(char *text, size_t size, const char *value, size_t length)
{
    size_t n = 0;
    while (n < length && value[n] != '\0') {
        ++n;
    }
    const size_t used = strnlen(text, size);
    if (used + 1 < size) {
        as_shown(value, n, text + used, size - used);
    }
}

} // namespace ports
