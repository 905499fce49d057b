// A port driven by the hardware's own port I/O library: named by
// LPT_HARDWARE_DLL, loaded from exactly that file, and handed each call at
// the port's real address (LPT_PORT_0x3BC=0x378), so that a program written
// for 0x3BC lights LEDs on a port wherever the PC put it.
#include "backends.h"
#include "hardware_os.h"
#include "os.h"
#include "pe_image.h"
#include "say.h"
#include "settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define LPT_ENTRY __stdcall
#else
#define LPT_ENTRY
#endif

// Marks every build of this library, so that it never takes itself, under
// any name, for the hardware's library.
__attribute__((section(LPT_OWN_SECTION), used)) const char own_mark[] = "lpt virtual port";

namespace {

typedef short(LPT_ENTRY *Inp32)(short);
typedef void(LPT_ENTRY *Out32)(short, short);

const int own_bits = sizeof(void *) * 8;

struct Port {
    Inp32 inp;
    Out32 out;
    unsigned address; // the port's real base address
    char name[64];    // as lptmon shows it: 0x378 through their.dll
};

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
    lpt_origin origin;
    switch (lpt_port_setting(base, "0x378", value, sizeof value, &origin, why, why_size)) {
    case lpt_port_malformed:
        return false;
    case lpt_port_unset:
        *address = base;
        return true;
    case lpt_port_set:
        break;
    }
    if (!lpt_port_address(base, value, origin, address, why, why_size)) {
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

// Whether the file can be the hardware's library, before the system loads
// it: a DLL for this program's processor, and not a build of this library.
bool fit_to_load(const char *path, char *why, size_t why_size)
{
    unsigned char head[4096];
    size_t length = 0;
    os::Error error;
    if (!os::read_start(path, head, sizeof head, &length, &error)) {
        char reason[200];
        os::error_text(error.code, reason, sizeof reason);
        snprintf(why, why_size,
                 "LPT_HARDWARE_DLL=%s cannot be read (%s): give the full path of the port I/O "
                 "library's DLL",
                 path, reason);
        return false;
    }
    const PeImage image = pe_inspect(head, length);
    const char *problem = image.kind == pe_not_an_image ? "is not a DLL"
                          : image.kind == pe_program    ? "is a program, not a DLL"
                          : image.ours ? "is this virtual port library itself, maybe renamed"
                                       : nullptr;
    if (problem != nullptr) {
        snprintf(why, why_size,
                 "LPT_HARDWARE_DLL=%s %s: name the DLL that came with the port's driver", path,
                 problem);
        return false;
    }
    if (image.bits != own_bits) {
        snprintf(why, why_size,
                 "LPT_HARDWARE_DLL=%s is a %s DLL and this program is %d-bit: name the "
                 "library's %d-bit DLL",
                 path,
                 image.bits == 0    ? "foreign"
                 : image.bits == 32 ? "32-bit"
                                    : "64-bit",
                 own_bits, own_bits);
        return false;
    }
    return true;
}

lpt_open_result open_forwarded(unsigned base, void **handle, char *why, size_t why_size)
{
    char setting[600] = "";
    const bool forwarding = lpt_setting("LPT_HARDWARE_DLL", setting, sizeof setting);
    // A path in quotes, as a path with spaces is often written.
    const size_t length = strlen(setting);
    char *path = setting;
    if (forwarding && length > 2 && setting[0] == '"' && setting[length - 1] == '"') {
        setting[length - 1] = '\0';
        ++path;
    }
    unsigned address = base;
    if (!real_address(base, forwarding, &address, why, why_size)) {
        return lpt_refused;
    }
    if (!forwarding) {
        return lpt_absent;
    }
    if (!fit_to_load(path, why, why_size)) {
        return lpt_refused;
    }
    Port *port = static_cast<Port *>(calloc(1, sizeof(Port)));
    hardware_os::Library library;
    os::Error error;
    if (port == nullptr) {
        snprintf(why, why_size, "out of memory");
        return lpt_refused;
    }
    if (!hardware_os::load_library(path, &library, &error)) {
        char reason[200];
        os::error_text(error.code, reason, sizeof reason);
        snprintf(why, why_size,
                 "LPT_HARDWARE_DLL=%s: %s failed: %s; install the library's driver as its "
                 "instructions say",
                 path, error.call, reason);
        free(port);
        return lpt_refused;
    }
    port->inp = reinterpret_cast<Inp32>(hardware_os::library_entry(library, "Inp32"));
    port->out = reinterpret_cast<Out32>(hardware_os::library_entry(library, "Out32"));
    if (port->inp == nullptr || port->out == nullptr) {
        snprintf(why, why_size,
                 "LPT_HARDWARE_DLL=%s has no Inp32 and Out32: name a port I/O library that has "
                 "them",
                 path);
        hardware_os::unload_library(library);
        free(port);
        return lpt_refused;
    }
    port->address = address;
    snprintf(port->name, sizeof port->name, "0x%03X through %.40s", address, file_name(path));
    *handle = port;
    return lpt_opened;
}

uint8_t read_forwarded(void *handle, unsigned reg)
{
    Port *port = static_cast<Port *>(handle);
    return static_cast<uint8_t>(port->inp(static_cast<short>(port->address + reg)) & 0xFF);
}

void write_forwarded(void *handle, unsigned reg, uint8_t value)
{
    Port *port = static_cast<Port *>(handle);
    port->out(static_cast<short>(port->address + reg), value);
}

// The hardware's library stays loaded: this may run as the library itself
// is unloaded, where Windows forbids unloading another; loaded again, it
// is the same module.
void close_forwarded(void *handle)
{
    free(handle);
}

const char *forwarded_device(void *handle)
{
    return static_cast<Port *>(handle)->name;
}

// Said where a port falls to the virtual one unasked, the first time in the
// process, so that nobody takes our virtual port for a hardware driver: the
// ports the system lists and a port I/O library in the system's own folder,
// with the settings that would use them; only said, never done unasked.
void advise(unsigned base, char *text, size_t size)
{
    text[0] = '\0';
    if (!hardware_os::first_time_in_process()) {
        return;
    }
    lpt_append(text, size, "virtual port 0x%03X: no hardware is driven; watch it with lptmon",
               base);
    hardware_os::ParallelPort found[8];
    const size_t count = hardware_os::parallel_ports(found, sizeof found / sizeof found[0]);
    char folder[520], library[600] = "", unused[1024];
    if (hardware_os::system_library_folder(folder, sizeof folder)) {
        snprintf(library, sizeof library, "%s%sinpout32.dll", folder, os::separator);
        if (!fit_to_load(library, unused, sizeof unused)) {
            library[0] = '\0';
        }
    }
    if (count == 0 && library[0] == '\0') {
        return;
    }
    lpt_append(text, size, "; this PC has ");
    for (size_t i = 0; i < count; ++i) {
        lpt_append(text, size, "%s%s at 0x%03X", i > 0 ? ", " : "", found[i].name,
                   found[i].address);
    }
    if (library[0] != '\0') {
        lpt_append(text, size, "%sa port I/O library at %s", count > 0 ? " and " : "", library);
    }
    lpt_append(text, size, ": to use %s, set LPT_HARDWARE_DLL=%s", count > 0 ? found[0].name : "it",
               library[0] != '\0' ? library : "C:\\path\\to\\its.dll");
    if (count > 0 && found[0].address != base) {
        lpt_append(text, size, " and LPT_PORT_0x%03X=0x%03X", base, found[0].address);
    }
}

} // namespace

const lpt_backend hardware_backend = {"hardware",      open_forwarded,  read_forwarded,
                                      write_forwarded, close_forwarded, forwarded_device,
                                      advise};
