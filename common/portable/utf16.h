// UTF-16 and UTF-8, converted the one way for every part: the port
// library's paths, environment and settings file (which Notepad and
// PowerShell write in UTF-16), and lptmon's names on Windows. Of the C
// library only, like the other helpers here.
#ifndef UTF16_H
#define UTF16_H

#include <stddef.h>
#include <stdint.h>

// The UTF-8 of `count` UTF-16 units, unit(i) giving the i-th, into `out`
// (up to 3 bytes a unit; nullptr only counts): the bytes it takes, no NUL
// added. A surrogate without its pair becomes U+FFFD, as Windows' own
// conversion makes it, so that a broken name still shows as one.
template <typename Unit> size_t utf16_to_utf8(Unit unit, size_t count, char *out)
{
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t code = unit(i);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < count && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        const size_t length = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (out != nullptr) {
            static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
            for (size_t k = length; k-- > 1; code >>= 6) {
                out[used + k] = static_cast<char>(0x80 | (code & 0x3F));
            }
            out[used] = static_cast<char>(length == 1 ? code : lead[length] | code);
        }
        used += length;
    }
    return used;
}

// The UTF-16 of `length` bytes of UTF-8 into `out` (at most one unit a
// byte; nullptr only counts): the units it takes, no NUL added, or
// (size_t)-1 for bytes that are no UTF-8 (cut, written long, a surrogate,
// past U+10FFFF). Those are refused, not guessed at: a guessed path names
// another file.
template <typename Unit16> size_t utf8_to_utf16(const char *text, size_t length, Unit16 *out)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    size_t used = 0;
    for (size_t i = 0; i < length;) {
        const unsigned c = s[i];
        const size_t size = c < 0x80                ? 1
                            : c >= 0xC2 && c < 0xE0 ? 2
                            : c >= 0xE0 && c < 0xF0 ? 3
                            : c >= 0xF0 && c < 0xF5 ? 4
                                                    : 0;
        if (size == 0 || i + size > length) {
            return static_cast<size_t>(-1);
        }
        uint32_t code = size == 1 ? c : c & (0x7F >> size);
        for (size_t k = 1; k < size; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return static_cast<size_t>(-1);
            }
            code = code << 6 | (s[i + k] & 0x3F);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[size] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) {
            return static_cast<size_t>(-1);
        }
        if (code >= 0x10000) {
            if (out != nullptr) {
                out[used] = static_cast<Unit16>(0xD800 + ((code - 0x10000) >> 10));
                out[used + 1] = static_cast<Unit16>(0xDC00 + ((code - 0x10000) & 0x3FF));
            }
            used += 2;
        } else {
            if (out != nullptr) {
                out[used] = static_cast<Unit16>(code);
            }
            ++used;
        }
        i += size;
    }
    return used;
}

#endif
