// What a setting's name may be, and a port's address: the rules the
// settings file's reader and the lookups share.
#ifndef LPT_SETTINGS_RULES_H
#define LPT_SETTINGS_RULES_H

#include <stddef.h>

namespace ports {

// A setting as a line of the file gives it.
struct SettingLine {
    const char *name; // in text, ended by a NUL
    size_t name_length;
    const char *value;
    unsigned line;
};

extern const char port_prefix[]; // LPT_PORT_
extern const size_t port_prefix_length;

bool is_port_name(const char *name, size_t length, bool ignore_case);
// The address in 0x and one to four hex digits; false for anything else.
bool hex_address(const char *text, size_t length, unsigned *address);
// Below 0x100 sit the system's own controllers; inside a port's range, its
// other registers.
bool is_base_address(unsigned address);
// The file's settings and the environment's: the same when the names are,
// ignoring case in the file, and LPT_PORT_0x3BC the same as LPT_PORT_0x03bc.
bool same_setting(const SettingLine &a, const SettingLine &b);
// LPT_HARDWARE_DLL, LPT_BACKEND or LPT_PORT_..., in any case.
bool known_name(const char *name, size_t length);

} // namespace ports

#endif
