// The library's settings: the environment first, then, where the system can
// say where the library is (Windows), the file lpt-settings.txt beside it,
// one NAME=value a line with # comments, which a lab copies to every PC.
#ifndef LPT_SETTINGS_H
#define LPT_SETTINGS_H

#include <stddef.h>

// The value of `name` in UTF-8; false when unset, empty or too long.
bool lpt_setting(const char *name, char *value, size_t size);

// Where the settings file is, for messages; false where there is none.
bool lpt_settings_file(char *path, size_t size);

enum lpt_port_setting_found { lpt_port_unset, lpt_port_set, lpt_port_malformed };
// LPT_PORT_0xADDR, the setting that sends the program's writes at `base` to
// a port at another address: its value when one names `base`. A setting
// whose name is no address is told in `why` with the form to use, an
// example value being `example` ("parport0", "0x378").
lpt_port_setting_found lpt_port_setting(unsigned base, const char *example, char *value,
                                        size_t value_size, char *why, size_t why_size);

#endif
