#include "ports.h"
#include "backend.h"
#include "os.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// A real port when there is one, else the virtual one (LPT_BACKEND chooses).
// Where the build has no backend for real ports, only the virtual one.
#if LPT_REAL_PORTS
const lpt_backend *const backends[] = {&ppdev_backend, &virtual_backend};
#else
const lpt_backend *const backends[] = {&virtual_backend};
#endif
const bool real_ports = sizeof backends / sizeof backends[0] > 1;

const unsigned max_ports = 8;

struct OpenPort {
    unsigned base;
    const lpt_backend *backend;
    void *handle;
    // A real port's writes are also recorded in the virtual port's state
    // file for its address, where lptmon reads them, marked with the device.
    void *record;
    uint32_t real_port; // N + 1 for parportN
};

OpenPort ports[max_ports];
unsigned port_count = 0;

// The table's own lock: Inp32 and Out32 may come from any thread of the host.
os::Mutex ports_lock = LPT_MUTEX_INITIALIZER;

const lpt_backend *forced_backend()
{
    const char *name = getenv("LPT_BACKEND");
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    for (const lpt_backend *backend : backends) {
        if (strcmp(backend->name, name) == 0) {
            return backend;
        }
    }
    static bool told = false;
    if (!told) {
        told = true;
        char known[100] = "";
        for (const lpt_backend *backend : backends) {
            lpt_append(known, sizeof known, "%s%s", known[0] != '\0' ? " or " : "", backend->name);
        }
        char text[400];
        snprintf(text, sizeof text, "LPT_BACKEND=%.200s is not known (use %s); choosing by itself",
                 name, known);
        lpt_say(text);
    }
    return nullptr;
}

void add(unsigned base, const lpt_backend *backend, void *handle)
{
    OpenPort port = {base, backend, handle, nullptr, 0};
    if (backend->device_number != nullptr) {
        port.real_port = static_cast<uint32_t>(backend->device_number(handle)) + 1;
        char why[1024];
        if (virtual_backend.open(base, &port.record, why, sizeof why) != lpt_opened) {
            // The port works all the same; only the view of it is missing.
            char text[1200];
            snprintf(text, sizeof text,
                     "%s port 0x%03X works, but lptmon cannot show its writes: %s", backend->name,
                     base, why);
            lpt_say(text);
            port.record = nullptr;
        }
    }
    ports[port_count++] = port;
}

// Where this library can drive no real port, nobody should take it for a
// hardware driver: it says so the first time a port is used in the process.
void say_virtual_once(unsigned base)
{
    if (os::first_time_in_process()) {
        char text[120];
        snprintf(text, sizeof text,
                 "virtual port 0x%03X: no hardware is driven; watch it with lptmon", base);
        lpt_say(text);
    }
}

// Everything said about one port goes in one line, once.
OpenPort *open_port(unsigned base)
{
    const lpt_backend *forced = forced_backend();
    char problems[2048] = "";
    for (const lpt_backend *backend : backends) {
        if (forced != nullptr && backend != forced) {
            continue;
        }
        void *handle = nullptr;
        char why[1024] = "";
        lpt_open_result result = backend->open(base, &handle, why, sizeof why);
        if (result == lpt_opened) {
            if (problems[0] != '\0') {
                lpt_append(problems, sizeof problems, "; using the %s port instead", backend->name);
                lpt_say(problems);
            }
            add(base, backend, handle);
            if (!real_ports) {
                say_virtual_once(base);
            }
            return &ports[port_count - 1];
        }
        if (result == lpt_unusable || forced != nullptr) {
            lpt_append(problems, sizeof problems, "%s%s port: %s", problems[0] != '\0' ? "; " : "",
                       backend->name, why);
        }
    }
    // Nothing may be silently lost: say so, then still latch the values.
    lpt_append(problems, sizeof problems, "%sport 0x%03X: values are kept in this program only",
               problems[0] != '\0' ? "; " : "", base);
    lpt_say(problems);
    void *handle = nullptr;
    char unused[64];
    if (memory_backend.open(base, &handle, unused, sizeof unused) != lpt_opened) {
        return nullptr;
    }
    add(base, &memory_backend, handle);
    return &ports[port_count - 1];
}

OpenPort *port_at(unsigned base)
{
    for (unsigned i = 0; i < port_count; ++i) {
        if (ports[i].base == base) {
            return &ports[i];
        }
    }
    if (port_count == max_ports) {
        static bool told = false;
        if (!told) {
            told = true;
            char text[120];
            snprintf(text, sizeof text,
                     "more than %u ports in use; 0x%03X and further ones are ignored", max_ports,
                     base);
            lpt_say(text);
        }
        return nullptr;
    }
    return open_port(base);
}

// With the lock held.
void close_all()
{
    while (port_count > 0) {
        OpenPort &port = ports[--port_count];
        port.backend->close(port.handle);
        if (port.record != nullptr) {
            virtual_backend.close(port.record);
        }
    }
}

// A fork while another thread of the host is inside Inp32 or Out32 would
// give the child a table lock that nobody releases: the fork waits for that
// call to end instead.
void before_fork()
{
    os::lock(&ports_lock);
}

void after_fork()
{
    os::unlock(&ports_lock);
}

// Set as the library is loaded, before any thread of the host can be
// inside it: set at the first call instead, a fork in the middle of setting
// them would leave the child a lock held by a thread it does not have.
__attribute__((constructor)) void set_fork_handlers()
{
    os::at_fork(before_fork, after_fork, after_fork);
}

void lock_ports()
{
    os::lock(&ports_lock);
}

void unlock_ports()
{
    os::unlock(&ports_lock);
}

} // namespace

void lpt_unload()
{
    // Another thread of the host may still be inside Inp32 or Out32 (a
    // program ending while its threads write): waiting for it would hang the
    // program on its way out. The system frees the mappings anyway.
    if (os::try_lock(&ports_lock)) {
        close_all();
        unlock_ports();
    }
}

void lpt_say(const char *text)
{
    // On a line of its own: the first port write often follows a prompt
    // that has no line break yet, as the blinker's own text has none.
    char line[2200];
    snprintf(line, sizeof line, "\ninpout32: %s\n", text);
    os::write_error(line);
}

void lpt_append(char *text, size_t size, const char *format, ...)
{
    size_t used = strlen(text);
    if (used + 1 >= size) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text + used, size - used, format, arguments);
    va_end(arguments);
}

uint8_t lpt_read(uint16_t address)
{
    lock_ports();
    OpenPort *port = port_at(address & ~3u);
    uint8_t value = port != nullptr ? port->backend->read(port->handle, address & 3u) : 0xFF;
    unlock_ports();
    return value;
}

void lpt_write(uint16_t address, uint8_t value)
{
    lock_ports();
    OpenPort *port = port_at(address & ~3u);
    if (port != nullptr) {
        port->backend->write(port->handle, address & 3u, value);
        if (port->record != nullptr) {
            lpt_record_write(port->record, address & 3u, value, port->real_port);
        }
    }
    unlock_ports();
}

void lpt_close_ports()
{
    lock_ports();
    close_all();
    unlock_ports();
}
