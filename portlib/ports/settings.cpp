#include "settings.h"
#include "os.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char settings_name[] = "lpt-settings.txt";
// A settings file is a few lines. Read with the table's lock held.
char settings_text[16384];

// The settings file's text into settings_text, read anew at each ask: small,
// and a lab may edit it between two runs of a program. Empty where there is
// none.
bool read_settings()
{
    char path[600];
    size_t length = 0;
    os::Error error;
    if (!lpt_settings_file(path, sizeof path) ||
        !os::read_start(path, settings_text, sizeof settings_text - 1, &length, &error)) {
        settings_text[0] = '\0';
        return false;
    }
    settings_text[length] = '\0';
    return true;
}

bool same_name(const char *a, size_t a_length, const char *b, size_t b_length)
{
    if (a_length != b_length) {
        return false;
    }
    if (!os::names_ignore_case) {
        return memcmp(a, b, a_length) == 0;
    }
    for (size_t i = 0; i < a_length; ++i) {
        const char x = a[i] >= 'a' && a[i] <= 'z' ? a[i] - 32 : a[i];
        const char y = b[i] >= 'a' && b[i] <= 'z' ? b[i] - 32 : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Calls `each` for every NAME=value line of the file, spaces around both
// dropped, comments and blank lines passed over; stops when it returns true.
template <typename Each> void each_file_setting(char *text, Each each)
{
    for (char *line = text; *line != '\0';) {
        char *end = line + strcspn(line, "\n");
        char *next = *end != '\0' ? end + 1 : end;
        *end = '\0';
        while (end > line && (end[-1] == '\r' || end[-1] == ' ' || end[-1] == '\t')) {
            *--end = '\0';
        }
        line += strspn(line, " \t");
        char *equals = strchr(line, '=');
        if (line[0] != '#' && equals != nullptr && equals > line) {
            char *name_end = equals;
            while (name_end > line && (name_end[-1] == ' ' || name_end[-1] == '\t')) {
                --name_end;
            }
            const char *value = equals + 1 + strspn(equals + 1, " \t");
            if (each(line, static_cast<size_t>(name_end - line), value)) {
                return;
            }
        }
        line = next;
    }
}

} // namespace

bool lpt_settings_file(char *path, size_t size)
{
    char folder[520];
    return os::library_folder(folder, sizeof folder) &&
           snprintf(path, size, "%s%s%s", folder, os::separator, settings_name) <
               static_cast<int>(size);
}

bool lpt_setting(const char *name, char *value, size_t size)
{
    if (os::environment(name, value, size)) {
        return true;
    }
    if (!read_settings()) {
        return false;
    }
    bool found = false;
    each_file_setting(settings_text, [&](const char *key, size_t key_length, const char *setting) {
        if (!same_name(key, key_length, name, strlen(name))) {
            return false;
        }
        found = setting[0] != '\0' && snprintf(value, size, "%s", setting) < static_cast<int>(size);
        return true;
    });
    return found;
}

lpt_port_setting_found lpt_port_setting(unsigned base, const char *example, char *value,
                                        size_t value_size, char *why, size_t why_size)
{
    static const char prefix[] = "LPT_PORT_";
    lpt_port_setting_found found = lpt_port_unset;
    // A name that is no address is told, whichever address it meant.
    auto check = [&](const char *name, size_t length, const char *setting, bool from_file) {
        if (length < sizeof prefix - 1 ||
            !same_name(name, sizeof prefix - 1, prefix, sizeof prefix - 1)) {
            return false;
        }
        const char *digits = name + sizeof prefix - 1;
        const size_t count = length - (sizeof prefix - 1);
        unsigned address = 0;
        const bool named = count >= 3 && count <= 6 && digits[0] == '0' &&
                           (digits[1] == 'x' || digits[1] == 'X') &&
                           strspn(digits + 2, "0123456789abcdefABCDEF") == count - 2;
        if (named) {
            address = static_cast<unsigned>(strtoul(digits + 2, nullptr, 16));
        }
        if (!named || (address & 3u) != 0) {
            snprintf(why, why_size,
                     "%.*s%s is not a port setting: name the port by its base address in hex, "
                     "as in LPT_PORT_0x%03X=%s",
                     static_cast<int>(length < 64 ? length : 64), name,
                     from_file ? " (in lpt-settings.txt)" : "", named ? address & ~3u : base,
                     example);
            found = lpt_port_malformed;
            return true;
        }
        if (address == base && found == lpt_port_unset) {
            snprintf(value, value_size, "%s", setting);
            found = lpt_port_set;
        }
        return false;
    };
    auto in_environment = [](const char *entry, void *context) {
        const char *equals = strchr(entry, '=');
        return equals != nullptr &&
               (*static_cast<decltype(check) *>(context))(
                   entry, static_cast<size_t>(equals - entry), equals + 1, false);
    };
    os::each_environment(in_environment, &check);
    if (found == lpt_port_malformed || !read_settings()) {
        return found;
    }
    // The environment wins over the file.
    each_file_setting(settings_text, [&](const char *name, size_t length, const char *setting) {
        return check(name, length, setting, true);
    });
    return found;
}
