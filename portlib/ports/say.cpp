#include "say.h"
#include "os.h"

#include <stdarg.h>
#include <stdint.h>
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

// The length of the printable UTF-8 letter at `s`; 0 for a control
// character (C0, DEL, C1), a byte of no letter, a surrogate or a letter
// written long.
size_t printable(const unsigned char *s, size_t n)
{
    if (s[0] >= 0x20 && s[0] < 0x7F) {
        return 1;
    }
    const size_t need = s[0] >= 0xC2 && s[0] <= 0xDF   ? 2
                        : s[0] >= 0xE0 && s[0] <= 0xEF ? 3
                        : s[0] >= 0xF0 && s[0] <= 0xF4 ? 4
                                                       : 0;
    if (need == 0 || need > n) {
        return 0;
    }
    uint32_t code = s[0] & (0x7Fu >> need);
    for (size_t i = 1; i < need; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (s[i] & 0x3Fu);
    }
    static const uint32_t least[] = {0, 0, 0xA0, 0x800, 0x10000};
    return code >= least[need] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) ? need : 0;
}

} // namespace

const char *lpt_shown(const char *text, size_t length, char *shown, size_t size)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t used = 0;
    for (size_t i = 0; i < length;) {
        char piece[5];
        size_t take = printable(bytes + i, length - i), piece_length = take;
        if (take > 0) {
            memcpy(piece, text + i, take);
        } else {
            const char *named = bytes[i] == '\n'   ? "\\n"
                                : bytes[i] == '\r' ? "\\r"
                                : bytes[i] == '\t' ? "\\t"
                                                   : nullptr;
            take = 1;
            piece_length = named != nullptr ? 2 : 4;
            if (named != nullptr) {
                memcpy(piece, named, 2);
            } else {
                snprintf(piece, sizeof piece, "\\x%02x", bytes[i]);
            }
        }
        if (used + piece_length >= size) {
            break;
        }
        memcpy(shown + used, piece, piece_length);
        used += piece_length;
        i += take;
    }
    if (size > 0) {
        shown[used] = '\0';
    }
    return shown;
}

void lpt_append_escaped(char *text, size_t size, const char *value, size_t length)
{
    size_t n = 0;
    while (n < length && value[n] != '\0') {
        ++n;
    }
    const size_t used = strnlen(text, size);
    if (used + 1 < size) {
        lpt_shown(value, n, text + used, size - used);
    }
}
