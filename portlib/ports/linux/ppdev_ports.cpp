// Where this machine's parallel ports are: /proc/sys/dev/parport, one
// folder per parportN with its base address, as the parport driver lists
// them.
#include "os.h"
#include "ppdev_parts.h"
#include "say.h"
#include "settings.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ppdev {

bool read_proc_text(const char *path, char *text, size_t size)
{
    size_t length = 0;
    os::Error unused;
    const bool read = os::read_start(path, text, size - 1, &length, &unused);
    text[read ? length : 0] = '\0';
    return read && length > 0;
}

namespace {

// The port's base address: the first field of base-addr, in decimal.
bool read_base_address(const char *path, unsigned long *address)
{
    char text[64];
    if (!read_proc_text(path, text, sizeof text)) {
        return false;
    }
    const char *digits = text + strspn(text, " \t");
    if (*digits < '0' || *digits > '9') {
        return false; // a negative address is no address
    }
    char *end;
    errno = 0;
    *address = strtoul(digits, &end, 10);
    return errno == 0 && (*end == '\0' || *end == '\t' || *end == ' ' || *end == '\n');
}

// A setting named by the address of a port this machine has is a natural
// mistake for the port at `base`: it only takes a program's writes to that
// address, which this program does not make.
void note_misnamed(unsigned long address, Found *found)
{
    char value[256], why[512];
    ports::Origin origin;
    if (found->misnamed[0] == '\0' && address <= 0xFFFF &&
        ports::port_setting(static_cast<unsigned>(address), "parport0", value, sizeof value,
                            &origin, why, sizeof why) == ports::port_set) {
        snprintf(found->misnamed, sizeof found->misnamed,
                 "; LPT_PORT_0x%03lX is for a program that writes 0x%03lX: a setting is named by "
                 "the address the program writes, not by the port's",
                 address, address);
    }
}

} // namespace

int find_port(unsigned base, int wanted, const char *proc, Found *found)
{
    *found = Found{"", -1, false, ""};
    DIR *dir = opendir(proc);
    if (dir == nullptr) {
        found->no_driver = errno == ENOENT;
        return -1;
    }
    int match = -1;
    while (struct dirent *entry = readdir(dir)) {
        int number = port_number(entry->d_name);
        if (number < 0) {
            continue;
        }
        char path[1024];
        snprintf(path, sizeof path, "%s/%s/base-addr", proc, entry->d_name);
        unsigned long address;
        if (!read_base_address(path, &address)) {
            continue;
        }
        if (wanted >= 0 ? number == wanted : address == base) {
            match = number;
            break;
        }
        ports::append(found->others, sizeof found->others, "%s0x%03lX (parport%d)",
                      found->others[0] != '\0' ? ", " : "", address, number);
        if (found->first_other < 0 || number < found->first_other) {
            found->first_other = number;
        }
        note_misnamed(address, found);
    }
    closedir(dir);
    return match;
}

} // namespace ppdev
