// UTF-8 text to a Windows console as its characters: written as bytes, the
// console's code page would show any letter beyond ASCII wrong. Shared by
// the port library's messages and lptmon; Win32 only, no C++ library.
#ifndef LPT_CONSOLE_TEXT_H
#define LPT_CONSOLE_TEXT_H

#include <limits.h>
#include <stddef.h>
#include <windows.h>

namespace console_text {

// False where `h` is no console (pipes and files take the UTF-8 bytes as
// they are, from the caller) or the text does not fit in `wide`.
inline bool write(HANDLE h, const char *text, size_t size, wchar_t *wide, size_t wide_length)
{
    DWORD mode;
    if (size == 0 || size > INT_MAX || wide_length > INT_MAX || h == nullptr ||
        h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) {
        return false;
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide,
                                      static_cast<int>(wide_length));
    DWORD written = 0;
    return n > 0 && WriteConsoleW(h, wide, static_cast<DWORD>(n), &written, nullptr) &&
           written == static_cast<DWORD>(n);
}

} // namespace console_text

#endif
