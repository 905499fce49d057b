// Text a user gave (a setting, a path, an argument) as a one-line message
// shows it: printable UTF-8 letters as they are; control characters (C0,
// DEL, C1) and bytes of no letter (cut, written long, a surrogate) as \n,
// \r, \t or \xHH. Such a text can then neither split the line nor command
// the terminal (ESC and the one-byte C1 CSI included). Written once, for the
// port library (no allocation, no C++ runtime) and lptmon alike.
#ifndef ONE_LINE_ESCAPE_H
#define ONE_LINE_ESCAPE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// The length of the printable UTF-8 letter at `s` (n bytes left); 0 for a
// control character, a byte of no letter, a surrogate or a letter written
// long.
static inline size_t one_line_printable(const unsigned char *s, size_t n)
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

// `length` bytes of `text` into `shown`, cut at a whole letter or escape to
// fit `size` (the terminating NUL included); at most 4 * length + 1 bytes
// are ever needed. Returns `shown`.
static inline char *one_line_escape(const char *text, size_t length, char *shown, size_t size)
{
    const unsigned char *bytes = (const unsigned char *)text;
    size_t used = 0;
    for (size_t i = 0; i < length;) {
        char piece[4];
        size_t take = one_line_printable(bytes + i, length - i), piece_length = take;
        if (take > 0) {
            memcpy(piece, text + i, take);
        } else {
            const char named = bytes[i] == '\n'   ? 'n'
                               : bytes[i] == '\r' ? 'r'
                               : bytes[i] == '\t' ? 't'
                                                  : 0;
            static const char hex[] = "0123456789abcdef";
            take = 1;
            piece[0] = '\\';
            if (named != 0) {
                piece[1] = named;
                piece_length = 2;
            } else {
                piece[1] = 'x';
                piece[2] = hex[bytes[i] >> 4];
                piece[3] = hex[bytes[i] & 0xF];
                piece_length = 4;
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

#endif
