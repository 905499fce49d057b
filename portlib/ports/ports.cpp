// The table of ports: each port a program uses, opened on first use through
// the first entry that has it, under one lock for every thread of the host.
#include "ports.h"
#include "backends.h"
#include "os.h"
#include "recorder.h"
#include "say.h"
#include "settings.h"
#include "table.h"
#include "table_guard.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace ports {

namespace {

// The real port of this build when there is one (through ppdev on Linux,
// through the hardware's own library on Windows when a setting asks for
// it), else the virtual one (LPT_BACKEND chooses between them), and the last
// entry, which always opens, so that nothing written is lost.
const Backend *const backends[] = {&real_backend, &virtual_backend, &memory_backend};
const size_t backend_count = sizeof backends / sizeof backends[0];
const Backend *const last_resort = backends[backend_count - 1];

const unsigned max_ports = 8;

OpenPort ports[max_ports];
unsigned port_count = 0;

// The table's own lock: Inp32 and Out32 may come from any thread of the host.
// It is never held while code not ours runs (see table_guard.h).
os::Mutex ports_lock = LPT_MUTEX_INITIALIZER;
// The ports being opened with the lock released while another library
// loads; a thread that needs one of them waits for port_opened.
unsigned opening[max_ports];
unsigned opening_count = 0;
os::Condition port_opened = LPT_CONDITION_INITIALIZER;

// The entry LPT_BACKEND names; the last resort cannot be chosen, as it is
// always there.
const Backend *chosen_backend()
{
    char name[256];
    Origin origin;
    if (!setting("LPT_BACKEND", name, sizeof name, &origin)) {
        return nullptr;
    }
    for (size_t i = 0; i + 1 < backend_count; ++i) {
        if (strcmp(backends[i]->name, name) == 0) {
            return backends[i];
        }
    }
    static bool told = false;
    if (!told) {
        told = true;
        char known[100] = "", shown[200];
        for (size_t i = 0; i + 1 < backend_count; ++i) {
            append(known, sizeof known, "%s%s", known[0] != '\0' ? " or " : "", backends[i]->name);
        }
        char text[400];
        snprintf(text, sizeof text, "LPT_BACKEND=%s%s is not known (use %s); choosing by itself",
                 as_shown(name, strlen(name), shown, sizeof shown), origin.text, known);
        say(text);
    }
    return nullptr;
}

// What the machine has that the entries the user must ask for could use.
void advise(unsigned base, char *text, size_t size)
{
    for (const Backend *backend : backends) {
        char advice[1024];
        if (backend->advice != nullptr) {
            backend->advice(base, advice, sizeof advice);
            if (advice[0] != '\0') {
                append(text, size, "%s%s", text[0] != '\0' ? "; " : "", advice);
            }
        }
    }
}

} // namespace

bool open_port(unsigned base, const Backend *after, char (&problems)[2048], OpenPort *port)
{
    size_t first = 0;
    if (after != nullptr) {
        while (first < backend_count && backends[first] != after) {
            ++first;
        }
        ++first;
    }
    const Backend *chosen = chosen_backend();
    for (size_t i = first; i < backend_count; ++i) {
        const Backend *backend = backends[i];
        if (chosen != nullptr && backend != chosen && backend != last_resort) {
            continue;
        }
        void *handle = nullptr;
        char why[1024] = "";
        OpenResult result = backend->open(base, &handle, why, sizeof why);
        if (result != opened) {
            if (result == refused || chosen != nullptr) {
                append(problems, sizeof problems, "%s%s port: %s", problems[0] != '\0' ? "; " : "",
                       backend->name, why);
            }
            continue;
        }
        // Nothing may be silently lost: a port kept here is always told.
        if (backend == last_resort) {
            append(problems, sizeof problems, "%sport 0x%03X: values are kept in this program only",
                   problems[0] != '\0' ? "; " : "", base);
        } else if (problems[0] != '\0') {
            append(problems, sizeof problems, "; using the %s port instead", backend->name);
        }
        // What the machine has that the user could ask for, in the same
        // line, where the port falls to the virtual one.
        if (backend != &real_backend && backend != last_resort) {
            advise(base, problems, sizeof problems);
        }
        if (problems[0] != '\0') {
            say(problems);
        }
        if (backend->device != nullptr) {
            record_writes(base, &backend, &handle);
        }
        *port = OpenPort{base, backend, handle};
        return true;
    }
    // Not even this program's memory could be had.
    append(problems, sizeof problems, "%sport 0x%03X: its values are lost",
           problems[0] != '\0' ? "; " : "", base);
    say(problems);
    return false;
}

namespace {

bool being_opened(unsigned base)
{
    for (unsigned i = 0; i < opening_count; ++i) {
        if (opening[i] == base) {
            return true;
        }
    }
    return false;
}

OpenPort *port_at(unsigned base)
{
    // A port another thread is opening: waited for, the lock released.
    for (;;) {
        for (unsigned i = 0; i < port_count; ++i) {
            if (ports[i].base == base) {
                return &ports[i];
            }
        }
        if (!being_opened(base)) {
            break;
        }
        os::wait(&port_opened, &ports_lock);
    }
    if (port_count + opening_count >= max_ports) {
        static bool told = false;
        if (!told) {
            told = true;
            char text[120];
            snprintf(text, sizeof text,
                     "more than %u ports in use; 0x%03X and further ones are ignored", max_ports,
                     base);
            say(text);
        }
        return nullptr;
    }
    opening[opening_count++] = base;
    OpenPort port;
    char problems[2048] = "";
    const bool opened = open_port(base, nullptr, problems, &port);
    for (unsigned i = 0; i < opening_count; ++i) {
        if (opening[i] == base) {
            opening[i] = opening[--opening_count];
            break;
        }
    }
    os::wake_all(&port_opened);
    if (!opened) {
        return nullptr;
    }
    ports[port_count] = port;
    return &ports[port_count++];
}

// Makes an access to the port at the address's base, opening it first; a
// port given up during the access is replaced, and the access made again.
template <typename Access> void access_port(uint16_t address, const void *caller, Access access)
{
    // The platform's guard (table_guard.h): on Windows a call back from the
    // hardware's library is refused here; on Linux it costs nothing.
    Call self;
    if (!enter(&self, caller)) {
        return;
    }
    lock_table();
    OpenPort *port = refused_meanwhile(&self) ? nullptr : port_at(address & ~3u);
    if (port != nullptr) {
        const void *used = port->handle;
        access(*port, address & 3u);
        if (replace_given_up(port, used)) {
            access(*port, address & 3u);
        }
    }
    unlock_table();
    leave(&self);
}

// With the lock held.
void close_all()
{
    while (port_count > 0) {
        OpenPort &port = ports[--port_count];
        port.backend->close(port.handle);
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

} // namespace

void lock_table()
{
    os::lock(&ports_lock);
}

void unlock_table()
{
    os::unlock(&ports_lock);
}

void unload()
{
    // Another thread of the host may still be inside Inp32 or Out32 (a
    // program ending while its threads write): waiting for it would hang the
    // program on its way out. The system frees the mappings anyway.
    if (os::try_lock(&ports_lock)) {
        if (!foreign_code_running()) {
            close_all();
        }
        unlock_table();
    }
}

uint8_t read_port(uint16_t address, const void *caller)
{
    uint8_t value = 0xFF;
    access_port(address, caller, [&](OpenPort &port, unsigned reg) {
        value = port.backend->read(port.handle, reg);
    });
    return value;
}

void write_port(uint16_t address, uint8_t value, const void *caller)
{
    access_port(address, caller, [&](OpenPort &port, unsigned reg) {
        port.backend->write(port.handle, reg, value);
    });
}

} // namespace ports
