#include "say.h"
#include "os.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void lpt_say(const char *text)
{
    // On a line of its own: the first port write often follows a prompt
    // that has no line break yet, as the blinker's own text has none.
    char line[2200];
    snprintf(line, sizeof line, "\ninpout32: %s\n", text);
    os::write_error(line);
}

void lpt_append(char *text, size_t size, const char *format, ...)
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
