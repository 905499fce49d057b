#include "settings_parse.h"
#include "say.h"
#include "utf16.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace ports {

namespace {

// Lines told one by one; the rest of a file that is no settings file counted.
const unsigned most_told = 10;

// The file being read, and where its problems go.
struct Reading {
    const char *path;
    ParsedSettings *file;
    void (*tell)(const char *line, void *context);
    void *context;
};

void tell(const Reading &reading, const char *format, ...) __attribute__((format(printf, 2, 3)));
void tell(const Reading &reading, const char *format, ...)
{
    char text[1200];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    reading.tell(text, reading.context);
}

// The file's text, as Windows' tools write it, in UTF-8 into `text`.
size_t decode(const unsigned char *bytes, size_t length, char *text)
{
    const bool little = length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (little || (length >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF)) {
        // PowerShell 5.1 and Notepad's "Unicode".
        const unsigned char *units = bytes + 2;
        return utf16_to_utf8(
            [&](size_t i) {
                return little ? static_cast<uint32_t>(units[2 * i + 1] << 8 | units[2 * i])
                              : static_cast<uint32_t>(units[2 * i] << 8 | units[2 * i + 1]);
            },
            (length - 2) / 2, text);
    }
    const size_t bom = length >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    memcpy(text, bytes + bom, length - bom);
    return length - bom;
}

unsigned line_at(const char *text, const char *at)
{
    unsigned line = 1;
    for (const char *c = text; c < at; ++c) {
        line += *c == '\n';
    }
    return line;
}

// A line that cannot be used, told with the fix.
void tell_line(const Reading &reading, unsigned line, const char *text, size_t name_length,
               unsigned *problems)
{
    if (++*problems > most_told) {
        return;
    }
    char shown[200];
    const char *equals = strchr(text, '=');
    if (equals == nullptr || equals == text) {
        tell(reading,
             "%s line %u (%s) is no NAME=value: write it as LPT_PORT_0x3BC=0x378, or put a # in "
             "front of it",
             reading.path, line, as_shown(text, strlen(text), shown, sizeof shown));
    } else {
        tell(reading,
             "%s line %u: %s is no setting of this library: name LPT_HARDWARE_DLL, LPT_BACKEND "
             "or LPT_PORT_0x3BC (the port's address), or put a # in front of the line",
             reading.path, line, as_shown(text, name_length, shown, sizeof shown));
    }
}

// Lines of the file that set one setting more than once: the last one wins,
// so that a line added under the shipped example is the one used.
void tell_duplicates(const Reading &reading)
{
    const ParsedSettings &file = *reading.file;
    for (size_t i = 0; i < file.count; ++i) {
        size_t same = 0, last = i;
        for (size_t j = 0; j < file.count; ++j) {
            if (same_setting(file.entries[i], file.entries[j])) {
                if (j < i) {
                    break; // told with the first
                }
                ++same;
                last = j;
            }
        }
        if (same < 2) {
            continue;
        }
        // "3, 14 and 20"; a long list's middle left out.
        char lines[120] = "";
        for (size_t j = i, k = 0; j <= last; ++j) {
            if (same_setting(file.entries[i], file.entries[j])) {
                const bool final = j == last;
                if (k < 6 || final) {
                    append(lines, sizeof lines, "%s%u",
                           k == 0  ? ""
                           : final ? " and "
                                   : ", ",
                           file.entries[j].line);
                } else if (k == 6) {
                    append(lines, sizeof lines, ", ...");
                }
                ++k;
            }
        }
        char shown[100];
        tell(reading,
             "%s lines %s set %s: line %u is used, as the last one wins; put a # in front of the "
             "lines you do not want",
             reading.path, lines,
             as_shown(file.entries[i].name, file.entries[i].name_length, shown, sizeof shown),
             file.entries[last].line);
    }
}

// Splits the file's text into its settings, each line stripped of the
// spaces around it, around the name and before the value; comments and blank
// lines passed over. False when it has more settings than a file needs.
bool parse_lines(char *text, const Reading &reading)
{
    ParsedSettings &file = *reading.file;
    unsigned number = 0, problems = 0;
    for (char *line = text; *line != '\0';) {
        char *end = line + strcspn(line, "\n");
        char *next = *end != '\0' ? end + 1 : end;
        ++number;
        *end = '\0';
        while (end > line && (end[-1] == '\r' || end[-1] == ' ' || end[-1] == '\t')) {
            *--end = '\0';
        }
        line += strspn(line, " \t");
        char *equals = strchr(line, '=');
        char *name_end = equals;
        while (name_end != nullptr && name_end > line &&
               (name_end[-1] == ' ' || name_end[-1] == '\t')) {
            --name_end;
        }
        if (line[0] == '\0' || line[0] == '#') {
            // blank, or a comment
        } else if (name_end == nullptr || name_end == line ||
                   !known_name(line, static_cast<size_t>(name_end - line))) {
            tell_line(reading, number, line, name_end != nullptr ? name_end - line : 0, &problems);
        } else if (file.count == settings_most) {
            return false;
        } else {
            *name_end = '\0';
            file.entries[file.count++] =
                SettingLine{line, static_cast<size_t>(name_end - line),
                            equals + 1 + strspn(equals + 1, " \t"), number};
        }
        line = next;
    }
    if (problems > most_told) {
        tell(reading, "%s has %u more lines that are no settings, not used", reading.path,
             problems - most_told);
    }
    return true;
}

} // namespace

void parse_settings(const unsigned char *bytes, size_t length, const char *path,
                    ParsedSettings *parsed, void (*say_line)(const char *, void *), void *context)
{
    const Reading reading = {path, parsed, say_line, context};
    ParsedSettings &file = *parsed;
    file.count = 0;
    size_t size = length > settings_longest ? 0 : decode(bytes, length, file.text);
    file.text[size] = '\0';
    const char *nul = static_cast<const char *>(memchr(file.text, '\0', size));
    if (nul != nullptr) {
        tell(reading,
             "%s line %u has a NUL byte, which no text has: save it as text (Notepad: Save as, "
             "Encoding UTF-8); none of its settings is used",
             path, line_at(file.text, nul));
    } else if (length > settings_longest || !parse_lines(file.text, reading)) {
        file.count = 0;
        tell(reading,
             "%s is longer than a settings file needs (over %u bytes or %u settings): keep only "
             "the settings this PC needs; none of its settings is used",
             path, static_cast<unsigned>(settings_longest), static_cast<unsigned>(settings_most));
    } else {
        tell_duplicates(reading);
    }
}

} // namespace ports
