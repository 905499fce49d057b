// LPT_PORT_0xADDR=parportN: the one setting that sends a port address's
// writes to a real port this machine has, wherever that port sits.
#include "ppdev_parts.h"
#include "say.h"
#include "settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace ppdev {

int port_number(const char *name)
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

int routed_port(unsigned base, char *why, size_t why_size)
{
    char value[256];
    ports::Origin origin;
    switch (ports::port_setting(base, "parport0", value, sizeof value, &origin, why, why_size)) {
    case ports::port_unset:
        return -1;
    case ports::port_malformed:
        return -2;
    case ports::port_set:
        break;
    }
    const char *name = strncmp(value, "/dev/", 5) == 0 ? value + 5 : value;
    const int number = port_number(name);
    if (number < 0) {
        char shown[200];
        snprintf(why, why_size,
                 "LPT_PORT_0x%03X=%s%s names no port: write LPT_PORT_0x%03X=parportN, with a "
                 "parportN from ls /dev/parport*",
                 base, ports::as_shown(value, strlen(value), shown, sizeof shown), origin.text,
                 base);
    }
    return number < 0 ? -2 : number;
}

} // namespace ppdev
