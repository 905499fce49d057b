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

namespace {

// The length of the UTF-8 letter at `at`, 0 for a byte that starts none.
size_t letter_length(const unsigned char *at, size_t left)
{
    const size_t length = at[0] < 0x80                    ? 1
                          : at[0] >= 0xC2 && at[0] < 0xE0 ? 2
                          : at[0] >= 0xE0 && at[0] < 0xF0 ? 3
                          : at[0] >= 0xF0 && at[0] < 0xF5 ? 4
                                                          : 0;
    if (length > left) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

} // namespace

void lpt_append_escaped(char *text, size_t size, const char *value, size_t length)
{
    size_t used = strlen(text);
    const unsigned char *at = reinterpret_cast<const unsigned char *>(value);
    size_t left = 0;
    while (left < length && value[left] != '\0') {
        ++left;
    }
    while (left > 0) {
        char piece[8];
        size_t n = letter_length(at, left);
        const size_t taken = n == 0 ? 1 : n;
        if (n == 0) {
            snprintf(piece, sizeof piece, "\\x%02X", at[0]);
        } else if (at[0] == '\n' || at[0] == '\r' || at[0] == '\t') {
            snprintf(piece, sizeof piece, "\\%c", at[0] == '\n' ? 'n' : at[0] == '\r' ? 'r' : 't');
        } else if (at[0] < 0x20 || at[0] == 0x7F) {
            snprintf(piece, sizeof piece, "\\x%02X", at[0]);
        } else if (at[0] == 0xC2 && at[1] < 0xA0) {
            // The C1 controls: a terminal takes U+009B for an escape sequence.
            snprintf(piece, sizeof piece, "\\u%04X", at[1]);
        } else {
            memcpy(piece, at, n);
            piece[n] = '\0';
        }
        n = strlen(piece);
        if (used + n + 1 > size) {
            return;
        }
        memcpy(text + used, piece, n + 1);
        used += n;
        at += taken;
        left -= taken;
    }
}
