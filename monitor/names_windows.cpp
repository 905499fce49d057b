// Names in Unicode on Windows: lptmon's arguments in UTF-8, as on other
// systems, and files opened by those names through the wide API, so that a
// name outside the ANSI code page works.
#include "term.h"
#include "utf16.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <string>
#include <vector>

// The C runtime's wide arguments (msvcrt, and its UCRT stand-in).
struct StartupInfo {
    int new_mode;
};
extern "C" int __cdecl __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***environment,
                                      int expand, StartupInfo *info);

namespace {

std::string utf8_text(const wchar_t *text)
{
    const auto unit = [&](size_t i) { return static_cast<uint32_t>(text[i]); };
    std::string out(utf16_to_utf8(unit, wcslen(text), nullptr), '\0');
    utf16_to_utf8(unit, wcslen(text), &out[0]);
    return out;
}

// Empty for text that is no UTF-8, which names no file.
std::wstring wide_text(const char *text)
{
    const size_t units = utf8_to_utf16(text, strlen(text), static_cast<wchar_t *>(nullptr));
    if (units == static_cast<size_t>(-1)) {
        return std::wstring();
    }
    std::wstring out(units, L'\0');
    utf8_to_utf16(text, strlen(text), &out[0]);
    return out;
}

} // namespace

namespace term {

// The runtime's argv is in the ANSI code page, where a name such as
// трасса.vcd loses its letters: the wide arguments, parsed by the same
// runtime, in UTF-8 instead.
void utf8_arguments(int *argc, char ***argv)
{
    int count = 0;
    wchar_t **wide = nullptr, **environment = nullptr;
    StartupInfo info = {0};
    if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0 || count != *argc) {
        return;
    }
    static std::vector<std::string> texts(static_cast<size_t>(count));
    static std::vector<char *> pointers(static_cast<size_t>(count) + 1, nullptr);
    for (size_t i = 0; i < texts.size(); ++i) {
        texts[i] = utf8_text(wide[i]);
        pointers[i] = &texts[i][0];
    }
    *argv = pointers.data();
}

FILE *create_file(const char *path)
{
    return _wfopen(wide_text(path).c_str(), L"w");
}

} // namespace term
