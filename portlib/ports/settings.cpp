#include "settings.h"
#include "os.h"
#include "say.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char settings_name[] = "lpt-settings.txt";
// A settings file is a few lines. One far longer is not used at all rather
// than in part: a value cut short once sent the writes to I/O port 3.
const size_t longest_file = 65536;
const size_t most_settings = 1000;
// Lines told one by one; the rest of a file that is no settings file counted.
const unsigned most_told = 10;

struct Entry {
    const char *name; // in text, ended by a NUL
    size_t name_length;
    const char *value;
    unsigned line;
};

// The file as last read. A host may call the library from any thread, and
// the file is read anew at each ask (a lab may edit it between two runs), so
// all of this is used under settings_lock only.
struct SettingsFile {
    unsigned char raw[longest_file + 1];
    char text[longest_file / 2 * 3 + 2]; // UTF-16 takes up to 3 bytes a unit in UTF-8
    Entry entries[most_settings];
    size_t count;
    bool in_play; // the system has a place for the file, or a test chose one
    char path[os::longest_path];
} file;
os::Mutex settings_lock = LPT_MUTEX_INITIALIZER;
char chosen_path[os::longest_path];
// The file's problems are told once in the process, at its first reading.
bool told = false;

class Held {
  public:
    Held();
    ~Held() { os::unlock(&settings_lock); }
};

void tell(const char *format, ...) __attribute__((format(printf, 1, 2)));
void tell(const char *format, ...)
{
    if (told) {
        return;
    }
    char text[1200];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    lpt_say(text);
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool same_name(const char *a, size_t a_length, const char *b, size_t b_length, bool ignore_case)
{
    if (a_length != b_length) {
        return false;
    }
    for (size_t i = 0; i < a_length; ++i) {
        if (ignore_case ? upper(a[i]) != upper(b[i]) : a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

const char port_prefix[] = "LPT_PORT_";
const size_t prefix_length = sizeof port_prefix - 1;

bool is_port_name(const char *name, size_t length, bool ignore_case)
{
    return length >= prefix_length &&
           same_name(name, prefix_length, port_prefix, prefix_length, ignore_case);
}

// The address in 0x and one to four hex digits; false for anything else.
bool hex_address(const char *text, size_t length, unsigned *address)
{
    if (length < 3 || length > 6 || text[0] != '0' || upper(text[1]) != 'X' ||
        strspn(text + 2, "0123456789abcdefABCDEF") < length - 2) {
        return false;
    }
    *address = 0;
    for (size_t i = 2; i < length; ++i) {
        const char c = upper(text[i]);
        *address = *address * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return true;
}

// Below 0x100 sit the system's own controllers; inside a port's range, its
// other registers.
bool is_base_address(unsigned address)
{
    return address >= 0x100 && (address & 3u) == 0;
}

// The file's settings and the environment's: the same when the names are,
// ignoring case in the file, and LPT_PORT_0x3BC the same as LPT_PORT_0x03bc.
bool same_setting(const Entry &a, const Entry &b)
{
    unsigned x = 0, y = 0;
    if (is_port_name(a.name, a.name_length, true) && is_port_name(b.name, b.name_length, true) &&
        hex_address(a.name + prefix_length, a.name_length - prefix_length, &x) &&
        hex_address(b.name + prefix_length, b.name_length - prefix_length, &y)) {
        return x == y;
    }
    return same_name(a.name, a.name_length, b.name, b.name_length, true);
}

bool known_name(const char *name, size_t length)
{
    return is_port_name(name, length, true) ||
           same_name(name, length, "LPT_HARDWARE_DLL", 16, true) ||
           same_name(name, length, "LPT_BACKEND", 11, true);
}

size_t put_utf8(uint32_t code, char *out)
{
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    const size_t length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t i = length; i-- > 1; code >>= 6) {
        out[i] = static_cast<char>(0x80 | (code & 0x3F));
    }
    out[0] = static_cast<char>(lead[length] | code);
    return length;
}

// UTF-16 as PowerShell 5.1 and Notepad's "Unicode" write it, into UTF-8; a
// unit that is no letter becomes U+FFFD.
size_t from_utf16(const unsigned char *in, size_t length, bool big_endian, char *out)
{
    auto unit = [&](size_t at) {
        return big_endian ? static_cast<uint32_t>(in[at] << 8 | in[at + 1])
                          : static_cast<uint32_t>(in[at + 1] << 8 | in[at]);
    };
    size_t used = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint32_t code = unit(i);
        if (code >= 0xD800 && code < 0xDC00 && i + 3 < length && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        used += put_utf8(code, out + used);
    }
    return used;
}

// The file's text, as Windows' tools write it, in UTF-8 into file.text.
size_t decode(const unsigned char *bytes, size_t length)
{
    const bool little = length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (little || (length >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF)) {
        return from_utf16(bytes + 2, length - 2, !little, file.text);
    }
    const size_t bom = length >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    memcpy(file.text, bytes + bom, length - bom);
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
void tell_line(const char *path, unsigned line, const char *text, size_t name_length,
               unsigned *problems)
{
    if (++*problems > most_told) {
        return;
    }
    char shown[200];
    const char *equals = strchr(text, '=');
    if (equals == nullptr || equals == text) {
        tell("%s line %u (%s) is no NAME=value: write it as LPT_PORT_0x3BC=0x378, or put a # in "
             "front of it",
             path, line, lpt_shown(text, strlen(text), shown, sizeof shown));
    } else {
        tell("%s line %u: %s is no setting of this library: name LPT_HARDWARE_DLL, LPT_BACKEND "
             "or LPT_PORT_0x3BC (the port's address), or put a # in front of the line",
             path, line, lpt_shown(text, name_length, shown, sizeof shown));
    }
}

// Lines of the file that set one setting more than once: the last one wins,
// so that a line added under the shipped example is the one used.
void tell_duplicates(const char *path)
{
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
                    lpt_append(lines, sizeof lines, "%s%u",
                               k == 0  ? ""
                               : final ? " and "
                                       : ", ",
                               file.entries[j].line);
                } else if (k == 6) {
                    lpt_append(lines, sizeof lines, ", ...");
                }
                ++k;
            }
        }
        char shown[100];
        tell("%s lines %s set %s: line %u is used, as the last one wins; put a # in front of the "
             "lines you do not want",
             path, lines,
             lpt_shown(file.entries[i].name, file.entries[i].name_length, shown, sizeof shown),
             file.entries[last].line);
    }
}

// Splits the file's text into its settings, each line stripped of the
// spaces around it, around the name and before the value; comments and blank
// lines passed over. False when it has more settings than a file needs.
bool parse_lines(char *text, const char *path)
{
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
            tell_line(path, number, line, name_end != nullptr ? name_end - line : 0, &problems);
        } else if (file.count == most_settings) {
            return false;
        } else {
            *name_end = '\0';
            file.entries[file.count++] = Entry{line, static_cast<size_t>(name_end - line),
                                               equals + 1 + strspn(equals + 1, " \t"), number};
        }
        line = next;
    }
    if (problems > most_told) {
        tell("%s has %u more lines that are no settings, not used", path, problems - most_told);
    }
    return true;
}

// The file's bytes as read into file.entries; a file that cannot be used
// whole is told and not used at all.
void parse(const unsigned char *bytes, size_t length, const char *path)
{
    file.count = 0;
    size_t size = length > longest_file ? 0 : decode(bytes, length);
    file.text[size] = '\0';
    const char *nul = static_cast<const char *>(memchr(file.text, '\0', size));
    if (nul != nullptr) {
        tell("%s line %u has a NUL byte, which no text has: save it as text (Notepad: Save as, "
             "Encoding UTF-8); none of its settings is used",
             path, line_at(file.text, nul));
    } else if (length > longest_file || !parse_lines(file.text, path)) {
        file.count = 0;
        tell("%s is longer than a settings file needs (over %u bytes or %u settings): keep only "
             "the settings this PC needs; none of its settings is used",
             path, static_cast<unsigned>(longest_file), static_cast<unsigned>(most_settings));
    } else {
        tell_duplicates(path);
    }
}

// The file anew, where there is one; told once when it exists but cannot be
// read, as a file taken for none would leave its settings unused unsaid.
void load()
{
    file.count = 0;
    file.in_play = chosen_path[0] != '\0'
                       ? snprintf(file.path, sizeof file.path, "%s", chosen_path) > 0
                       : lpt_settings_file(file.path, sizeof file.path);
    size_t length = 0;
    os::Error error;
    if (!file.in_play) {
        return;
    }
    if (!os::read_start(file.path, file.raw, sizeof file.raw, &length, &error)) {
        if (!os::is_absent(error)) {
            char reason[200];
            os::error_text(error.code, reason, sizeof reason);
            tell("%s cannot be read (%s): make it a file this user may read, and close any "
                 "program that holds it; none of its settings is used",
                 file.path, reason);
        }
    } else {
        parse(file.raw, length, file.path);
    }
    told = true;
}

Held::Held()
{
    os::lock(&settings_lock);
    load();
}

void trim(char *value)
{
    size_t length = strlen(value);
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) {
        value[--length] = '\0';
    }
    const size_t lead = strspn(value, " \t");
    memmove(value, value + lead, length - lead + 1);
}

void from_environment(lpt_origin *origin)
{
    snprintf(origin->text, sizeof origin->text, "%s", file.in_play ? " (in the environment)" : "");
}

void from_file(const Entry &entry, lpt_origin *origin)
{
    snprintf(origin->text, sizeof origin->text, " (%s line %u)", settings_name, entry.line);
}

} // namespace

bool lpt_settings_file(char *path, size_t size)
{
    if (!os::library_folder(path, size)) {
        return false;
    }
    const size_t length = strlen(path);
    return snprintf(path + length, size - length, "%s%s", os::separator, settings_name) <
           static_cast<int>(size - length);
}

void lpt_settings_use_file(const char *path)
{
    os::lock(&settings_lock);
    snprintf(chosen_path, sizeof chosen_path, "%s", path != nullptr ? path : "");
    told = false;
    os::unlock(&settings_lock);
}

bool lpt_setting(const char *name, char *value, size_t size, lpt_origin *origin)
{
    lpt_origin unused;
    origin = origin != nullptr ? origin : &unused;
    Held held;
    if (os::environment(name, value, size)) {
        trim(value);
        from_environment(origin);
        return value[0] != '\0';
    }
    const Entry wanted = {name, strlen(name), "", 0};
    const Entry *found = nullptr;
    for (size_t i = 0; i < file.count; ++i) {
        found = same_setting(file.entries[i], wanted) ? &file.entries[i] : found;
    }
    if (found == nullptr) {
        return false;
    }
    from_file(*found, origin);
    return found->value[0] != '\0' &&
           snprintf(value, size, "%s", found->value) < static_cast<int>(size);
}

lpt_port_setting_found lpt_port_setting(unsigned base, const char *example, char *value,
                                        size_t value_size, lpt_origin *origin, char *why,
                                        size_t why_size)
{
    Held held;
    lpt_port_setting_found found = lpt_port_unset;
    bool from_file_only = true;
    // A name that is no port's address is told, whichever address it meant;
    // the environment's first, then the file's, whose last line wins.
    auto check = [&](const char *name, size_t length, const char *setting, const Entry *entry) {
        lpt_origin where;
        entry != nullptr ? from_file(*entry, &where) : from_environment(&where);
        if (!is_port_name(name, length, entry != nullptr || os::names_ignore_case)) {
            return false;
        }
        unsigned address = 0;
        const bool named = hex_address(name + prefix_length, length - prefix_length, &address);
        if (!named || !is_base_address(address)) {
            char shown[100];
            snprintf(why, why_size,
                     "%s%s is not a port setting: name the port by its base address in hex%s, "
                     "as in LPT_PORT_0x%03X=%s",
                     lpt_shown(name, length, shown, sizeof shown), where.text,
                     named ? ", a multiple of 4 from 0x100" : "",
                     named && address >= 0x100 ? address & ~3u
                     : is_base_address(base)   ? base
                                               : 0x3BC,
                     example);
            found = lpt_port_malformed;
            return true;
        }
        if (address == base && (found == lpt_port_unset || (entry != nullptr && from_file_only))) {
            snprintf(value, value_size, "%s", setting);
            *origin = where;
            found = lpt_port_set;
        }
        return false;
    };
    auto in_environment = [](const char *entry, void *context) {
        char name[200], setting[600];
        const size_t length = strcspn(entry, "=");
        if (entry[length] != '=' || length >= sizeof name ||
            snprintf(setting, sizeof setting, "%s", entry + length + 1) >=
                static_cast<int>(sizeof setting)) {
            return false;
        }
        snprintf(name, sizeof name, "%.*s", static_cast<int>(length), entry);
        trim(name);
        trim(setting);
        return (*static_cast<decltype(check) *>(context))(name, strlen(name), setting, nullptr);
    };
    os::each_environment(in_environment, &check);
    from_file_only = found == lpt_port_unset;
    for (size_t i = 0; i < file.count && found != lpt_port_malformed; ++i) {
        const Entry &entry = file.entries[i];
        check(entry.name, entry.name_length, entry.value, &entry);
    }
    return found;
}

bool lpt_port_address(unsigned base, const char *value, const lpt_origin &origin, unsigned *address,
                      char *why, size_t why_size)
{
    if (hex_address(value, strlen(value), address) && is_base_address(*address)) {
        return true;
    }
    // Written without its 0x, or inside the port's range: the base meant.
    char with_0x[8];
    unsigned meant = 0;
    snprintf(with_0x, sizeof with_0x, "0x%s", value);
    if (!hex_address(value, strlen(value), &meant) &&
        !hex_address(with_0x, strlen(with_0x), &meant)) {
        meant = 0;
    }
    char shown[200];
    snprintf(why, why_size,
             "LPT_PORT_0x%03X=%s%s names no port address: write LPT_PORT_0x%03X=0x%03X, with the "
             "start of the port's I/O range (Device Manager, Ports (COM & LPT), the port, "
             "Resources)",
             base, lpt_shown(value, strlen(value), shown, sizeof shown), origin.text, base,
             meant >= 0x100 ? meant & ~3u : 0x378);
    return false;
}
