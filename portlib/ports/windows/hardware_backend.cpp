// A port driven by the hardware's own port I/O library: named by
// LPT_HARDWARE_DLL, loaded from exactly that file (a relative name resolved
// first), and handed each call at the port's real address
// (LPT_PORT_0x3BC=0x378), so that a program written for 0x3BC lights LEDs on
// a port wherever the PC put it. That library's code, its loading included,
// runs with no lock of ours held (ports::outside_lock): it may be slow, or call
// back into this library, on any thread, which then refuses it.
#include "backends.h"
#include "foreign_code.h"
#include "hardware_checks.h"
#include "hardware_os.h"
#include "os.h"
#include "pe_image.h"
#include "port_io_entries.h"
#include "say.h"
#include "settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Marks every build of this library, so that it never takes itself, under
// any name, for the hardware's library.
__attribute__((section(LPT_OWN_SECTION), used)) const char own_mark[] = "lpt virtual port";

namespace {

typedef lpt_inp32_entry *Inp32;
typedef lpt_out32_entry *Out32;

struct Port {
    Inp32 inp;
    Out32 out;
    unsigned address; // the port's real base address
    char name[64];    // as lptmon shows it: 0x378 through their.dll
    char *subject;    // LPT_HARDWARE_DLL=... as the messages name it
    ports::ForeignCode code;
};

#if defined(_WIN32) && defined(__i386__)
// An entry of the other library called with two arguments (Inp32 takes the
// first only), the stack pointer kept meanwhile in a register that both
// conventions preserve and put back after: an entry built __cdecl leaves
// its arguments on the stack, and our code, finding its own values moved,
// crashed at the first write.
__attribute__((noinline)) long call_entry(void (*entry)(), long first, long second)
{
    long result;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "pushl %[second]\n\t"
                     "pushl %[first]\n\t"
                     "call *%[entry]\n\t"
                     "movl %%esi, %%esp"
                     : "=a"(result)
                     : [entry] "r"(entry), [first] "r"(first), [second] "r"(second)
                     : "esi", "ecx", "edx", "memory", "cc");
    return result;
}
#endif

// One call of the other library, made with no lock of ours held.
struct Call {
    Inp32 inp; // Out32 when nullptr
    Out32 out;
    short address;
    short value;
};

void call_library(void *context)
{
    Call *call = static_cast<Call *>(context);
#if defined(_WIN32) && defined(__i386__)
    call->value = static_cast<short>(call_entry(call->inp != nullptr
                                                    ? reinterpret_cast<void (*)()>(call->inp)
                                                    : reinterpret_cast<void (*)()>(call->out),
                                                call->address, call->value));
#else
    if (call->inp != nullptr) {
        call->value = call->inp(call->address);
    } else {
        call->out(call->address, call->value);
    }
#endif
}

// The library's loading, its DllMain run, with no lock of ours held.
struct Loading {
    const char *path;
    hardware_os::Library library;
    os::Error error;
    bool loaded;
};

void load(void *context)
{
    Loading *loading = static_cast<Loading *>(context);
    loading->loaded = hardware_os::load_library(loading->path, &loading->library, &loading->error);
}

const char called_back[] = "%s calls this virtual port library back, as a wrapper around "
                           "inpout32.dll does: name the DLL that came with the port's driver";

// Loads the library at the full path, with its entries, into *port.
bool load_port(const char *full, Port *port, char *why, size_t why_size)
{
    Loading loading = {full, {}, {}, false};
    if (!ports::outside_lock(load, &loading)) {
        snprintf(why, why_size, called_back, port->subject);
        return false;
    }
    char dependency[260];
    if (!loading.loaded &&
        hardware_os::missing_dependency(full, loading.error, dependency, sizeof dependency)) {
        snprintf(why, why_size, "%s needs ", port->subject);
        if (dependency[0] != '\0') {
            ports::append_escaped(why, why_size, dependency);
            ports::append(why, why_size, ", which is missing");
        } else {
            ports::append(why, why_size, "a DLL that is missing");
        }
        ports::append(why, why_size,
                      ": install the port I/O library with its driver as its instructions say");
        return false;
    }
    if (!loading.loaded) {
        char reason[200];
        os::error_text(loading.error.code, reason, sizeof reason);
        snprintf(why, why_size,
                 "%s: %s failed: %s; install the library's driver as its instructions say",
                 port->subject, loading.error.call, reason);
        return false;
    }
    if (hardware_os::is_own_module(loading.library)) {
        snprintf(why, why_size,
                 "%s is this virtual port library itself, maybe renamed: name the DLL that came "
                 "with the port's driver",
                 port->subject);
        return false;
    }
    hardware_os::image_range(loading.library, &port->code.begin, &port->code.end);
    port->inp = reinterpret_cast<Inp32>(hardware_os::library_entry(loading.library, "Inp32"));
    port->out = reinterpret_cast<Out32>(hardware_os::library_entry(loading.library, "Out32"));
    if (port->inp == nullptr || port->out == nullptr) {
        snprintf(why, why_size, "%s has no Inp32 and Out32: name a port I/O library that has them",
                 port->subject);
        hardware_os::unload_library(loading.library);
        return false;
    }
    return true;
}

// The port as lptmon names it: its address and the library's file name,
// cut on a letter's boundary, without the spaces Windows drops at its end.
void name_port(Port *port, const char *path)
{
    const char *name = hardware::file_name(path);
    size_t length = strlen(name);
    while (length > 0 && name[length - 1] == ' ') {
        --length;
    }
    char shown[41] = "";
    ports::append_escaped(shown, sizeof shown, name, length);
    snprintf(port->name, sizeof port->name, "0x%03X through %s", port->address, shown);
}

ports::OpenResult open_forwarded(unsigned base, void **handle, char *why, size_t why_size)
{
    // Any path Windows takes. Read with the table's lock held, and copied
    // before it is released.
    static char setting[os::longest_path];
    setting[0] = '\0';
    const bool forwarding = ports::setting("LPT_HARDWARE_DLL", setting, sizeof setting);
    // A path in quotes, as a path with spaces is often written.
    const size_t length = strlen(setting);
    char *path = setting;
    if (forwarding && length > 2 && setting[0] == '"' && setting[length - 1] == '"') {
        setting[length - 1] = '\0';
        ++path;
    }
    unsigned address = base;
    if (!hardware::real_address(base, forwarding, &address, why, why_size)) {
        return ports::refused;
    }
    if (!forwarding) {
        // Told only where LPT_BACKEND=hardware asks for this port.
        snprintf(why, why_size,
                 "LPT_HARDWARE_DLL is not set; set it to the port I/O library's path, as in "
                 "LPT_HARDWARE_DLL=C:\\path\\to\\its.dll");
        return ports::absent;
    }
    os::Error error;
    char *full = hardware_os::full_path(path, &error);
    if (full == nullptr) {
        char reason[200];
        os::error_text(error.code, reason, sizeof reason);
        snprintf(why, why_size, "LPT_HARDWARE_DLL=");
        ports::append_escaped(why, why_size, path);
        ports::append(why, why_size,
                      " cannot be read (%s): give the full path of the port I/O library's DLL",
                      reason);
        return ports::refused;
    }
    char subject[2048];
    hardware::name_library(path, full, subject, sizeof subject);
    Port *port = static_cast<Port *>(calloc(1, sizeof(Port) + strlen(subject) + 1));
    if (port == nullptr) {
        free(full);
        snprintf(why, why_size, "out of memory");
        return ports::refused;
    }
    port->subject = reinterpret_cast<char *>(port + 1);
    memcpy(port->subject, subject, strlen(subject) + 1);
    port->address = address;
    name_port(port, path);
    // Asked again, as the address alone cannot tell LPT_PORT_0x3BC=0x3BC
    // from no setting; read before the lock is released for the loading.
    char value[64], unused[1024];
    ports::Origin origin;
    const bool by_default = ports::port_setting(base, "0x378", value, sizeof value, &origin, unused,
                                                sizeof unused) == ports::port_unset;
    if (!hardware::fit_to_load(full, subject, why, why_size) ||
        !load_port(full, port, why, why_size)) {
        free(full);
        free(port);
        return ports::refused;
    }
    free(full);
    // On most PCs the port is elsewhere, and the LEDs would stay dark unsaid.
    if (by_default) {
        char text[2200];
        snprintf(text, sizeof text,
                 "hardware port: writes for 0x%03X go to I/O port 0x%03X through ", base, base);
        ports::append_escaped(text, sizeof text, path);
        ports::append(text, sizeof text,
                      "; if the LED board is on another port, set LPT_PORT_0x%03X=0x%03X", base,
                      base == 0x378 ? 0x278 : 0x378);
        ports::say(text);
    }
    *handle = port;
    return ports::opened;
}

// The library called back: its port is given up for the virtual one.
uint8_t call_port(Port *port, Inp32 inp, Out32 out, unsigned reg, uint8_t value)
{
    Call call = {inp, out, static_cast<short>(port->address + reg), value};
    if (!ports::outside_lock(call_library, &call, &port->code)) {
        char why[2200];
        snprintf(why, sizeof why, called_back, port->subject);
        ports::give_up_port(why);
        return 0xFF;
    }
    return static_cast<uint8_t>(call.value & 0xFF);
}

uint8_t read_forwarded(void *handle, unsigned reg)
{
    Port *port = static_cast<Port *>(handle);
    return call_port(port, port->inp, nullptr, reg, 0);
}

void write_forwarded(void *handle, unsigned reg, uint8_t value)
{
    Port *port = static_cast<Port *>(handle);
    call_port(port, nullptr, port->out, reg, value);
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

} // namespace

// The real port of the Windows build.
const ports::Backend ports::real_backend = {"hardware",      open_forwarded,  read_forwarded,
                                            write_forwarded, close_forwarded, forwarded_device,
                                            hardware::advise};
