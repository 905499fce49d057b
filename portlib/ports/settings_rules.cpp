#include "settings_rules.h"

#include <string.h>

namespace ports {

const char port_prefix[] = "LPT_PORT_";
const size_t port_prefix_length = sizeof port_prefix - 1;

namespace {

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

} // namespace

bool is_port_name(const char *name, size_t length, bool ignore_case)
{
    return length >= port_prefix_length &&
           same_name(name, port_prefix_length, port_prefix, port_prefix_length, ignore_case);
}

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

bool is_base_address(unsigned address)
{
    return address >= 0x100 && (address & 3u) == 0;
}

bool same_setting(const SettingLine &a, const SettingLine &b)
{
    const size_t prefix = port_prefix_length;
    unsigned x = 0, y = 0;
    if (is_port_name(a.name, a.name_length, true) && is_port_name(b.name, b.name_length, true) &&
        hex_address(a.name + prefix, a.name_length - prefix, &x) &&
        hex_address(b.name + prefix, b.name_length - prefix, &y)) {
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

} // namespace ports
