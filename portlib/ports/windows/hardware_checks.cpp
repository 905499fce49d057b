// What is checked before the hardware's library is loaded: the port's
// address setting, and whether the file named can be that library.
#include "hardware_checks.h"
#include "hardware_os.h"
#include "os.h"
#include "pe_image.h"
#include "say.h"
#include "settings.h"

#include <stdio.h>
#include <string.h>

namespace hardware {

namespace {

const int own_bits = sizeof(void *) * 8;

} // namespace

const char *file_name(const char *path)
{
    const char *name = path;
    for (const char *c = path; *c != '\0'; ++c) {
        if (os::is_separator(*c)) {
            name = c + 1;
        }
    }
    return name;
}

// The port's real address: the setting's, else the one the program wrote.
bool real_address(unsigned base, bool forwarding, unsigned *address, char *why, size_t why_size)
{
    char value[64];
    ports::Origin origin;
    switch (ports::port_setting(base, "0x378", value, sizeof value, &origin, why, why_size)) {
    case ports::port_malformed:
        return false;
    case ports::port_unset:
        *address = base;
        return true;
    case ports::port_set:
        break;
    }
    if (!ports::port_address(base, value, origin, address, why, why_size)) {
        return false;
    }
    if (!forwarding) {
        snprintf(why, why_size,
                 "LPT_PORT_0x%03X=%s%s needs the port I/O library that drives the port: set "
                 "LPT_HARDWARE_DLL=C:\\path\\to\\its.dll as well",
                 base, value, origin.text);
        return false;
    }
    return true;
}

void name_library(const char *path, const char *full, char *text, size_t size)
{
    snprintf(text, size, "LPT_HARDWARE_DLL=");
    ports::append_escaped(text, size, path);
    if (strcmp(path, full) != 0) {
        ports::append(text, size, " (");
        ports::append_escaped(text, size, full);
        ports::append(text, size, ")");
    }
}

bool fit_to_load(const char *path, const char *subject, char *why, size_t why_size)
{
    unsigned char head[4096];
    size_t length = 0;
    os::Error error;
    if (hardware_os::is_folder(path)) {
        snprintf(why, why_size, "%s is a folder: give the full path of the port I/O library's DLL",
                 subject);
        return false;
    }
    if (!os::read_start(path, head, sizeof head, &length, &error)) {
        char reason[200];
        os::error_text(error.code, reason, sizeof reason);
        snprintf(why, why_size,
                 "%s cannot be read (%s): give the full path of the port I/O library's DLL",
                 subject, reason);
        return false;
    }
    const pe::Image image = pe::inspect(head, length);
    const char *problem = image.kind == pe::not_an_image ? "is not a DLL"
                          : image.kind == pe::program    ? "is a program, not a DLL"
                          : image.ours ? "is this virtual port library itself, maybe renamed"
                                       : nullptr;
    if (problem != nullptr) {
        snprintf(why, why_size, "%s %s: name the DLL that came with the port's driver", subject,
                 problem);
        return false;
    }
    if (image.bits != own_bits) {
        snprintf(why, why_size,
                 "%s is a %s DLL and this program is %d-bit: name the library's %d-bit DLL",
                 subject,
                 image.bits == 0    ? "foreign"
                 : image.bits == 32 ? "32-bit"
                                    : "64-bit",
                 own_bits, own_bits);
        return false;
    }
    return true;
}

} // namespace hardware
