// LPT_PORT_0xADDR=parportN: the one setting that sends a port address's
// writes to a real port this machine has, wherever that port sits.
#include "ppdev.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int ppdev_port_number(const char *name)
{
    if (strncmp(name, "parport", 7) != 0) {
        return -1;
    }
    const char *digits = name + 7;
    size_t length = strspn(digits, "0123456789");
    if (length == 0 || length > 4 || digits[length] != '\0' || (digits[0] == '0' && length > 1)) {
        return -1;
    }
    return atoi(digits);
}

int ppdev_routed_port(unsigned base, char *why, size_t why_size)
{
    static const char prefix[] = "LPT_PORT_";
    int routed = -1;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const char *name = *entry;
        if (strncmp(name, prefix, sizeof prefix - 1) != 0) {
            continue;
        }
        const char *digits = name + sizeof prefix - 1, *equals = strchr(name, '=');
        size_t length = equals != nullptr ? static_cast<size_t>(equals - digits) : 0;
        unsigned address = 0;
        bool named = length >= 3 && length <= 6 && digits[0] == '0' &&
                     (digits[1] == 'x' || digits[1] == 'X') &&
                     strspn(digits + 2, "0123456789abcdefABCDEF") == length - 2;
        if (named) {
            address = static_cast<unsigned>(strtoul(digits + 2, nullptr, 16));
        }
        if (!named || (address & 3u) != 0) {
            snprintf(why, why_size,
                     "%.*s is not a port setting: name the port by its base address in hex, "
                     "as in LPT_PORT_0x%03X=parport0",
                     static_cast<int>(equals != nullptr && equals - name < 64 ? equals - name : 64),
                     name, named ? address & ~3u : base);
            return -2;
        }
        if (address != base) {
            continue;
        }
        const char *value = equals + 1;
        if (strncmp(value, "/dev/", 5) == 0) {
            value += 5;
        }
        int number = ppdev_port_number(value);
        if (number < 0) {
            snprintf(why, why_size,
                     "%.200s names no port: write LPT_PORT_0x%03X=parportN, with a parportN "
                     "from ls /dev/parport*",
                     name, base);
            return -2;
        }
        routed = number;
    }
    return routed;
}
