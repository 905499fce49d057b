// The library's settings: the environment first, then, where the system can
// say where the library is (Windows), the file lpt-settings.txt beside it,
// one NAME=value a line with # comments, which a lab copies to every PC.
// What the file holds that cannot be used is told once in the process, one
// line each, with the file's line number.
#ifndef LPT_SETTINGS_H
#define LPT_SETTINGS_H

#include <stddef.h>

namespace ports {

// Where a value came from, for the message that refuses it:
// " (lpt-settings.txt line 4)", " (in the environment)", or "" where the
// environment is the only place settings come from.
struct Origin {
    char text[48];
};

// The value of `name` in UTF-8, spaces around it dropped; false when unset,
// empty or too long. In the file, the last line that sets it wins.
bool setting(const char *name, char *value, size_t size, Origin *origin = nullptr);

// The settings file's name, as messages give a value's origin.
extern const char settings_name[];
enum PortSettingFound { port_unset, port_set, port_malformed };
// LPT_PORT_0xADDR, the setting that sends the program's writes at `base` to
// a port at another address: its value when one names `base`. A setting
// whose name is no port's base address (a multiple of 4 from 0x100) is told
// in `why` with the form to use, an example value being `example`
// ("parport0", "0x378").
PortSettingFound port_setting(unsigned base, const char *example, char *value, size_t value_size,
                              Origin *origin, char *why, size_t why_size);

// LPT_PORT_0xADDR's value as an I/O address: 0x and up to four hex digits,
// a port's base address (a multiple of 4 from 0x100), as the registers below
// 0x100 and those inside another port are no parallel port's. Else false,
// with the address to write told in `why`.
bool port_address(unsigned base, const char *value, const Origin &origin, unsigned *address,
                  char *why, size_t why_size);

} // namespace ports

#endif
