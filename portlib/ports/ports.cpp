#include "ports.h"
#include "backends.h"
#include "recorder.h"
#include "os.h"
#include "say.h"
#include "settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// A real port when there is one (through ppdev on Linux, through the
// hardware's own library on Windows when a setting asks for it), else the
// virtual one (LPT_BACKEND chooses between them), and the last entry, which
// always opens, so that nothing written is lost.
#ifdef _WIN32
const lpt_backend *const backends[] = {&hardware_backend, &virtual_backend, &memory_backend};
#else
const lpt_backend *const backends[] = {&ppdev_backend, &virtual_backend, &memory_backend};
#endif
const size_t backend_count = sizeof backends / sizeof backends[0];
const lpt_backend *const last_resort = backends[backend_count - 1];

const unsigned max_ports = 8;

struct OpenPort {
    unsigned base;
    const lpt_backend *backend;
    void *handle;
};

OpenPort ports[max_ports];
unsigned port_count = 0;

// The table's own lock: Inp32 and Out32 may come from any thread of the host.
// It is never held while code not ours runs (see lpt_outside_lock).
os::Mutex ports_lock = LPT_MUTEX_INITIALIZER;
// The ports being opened with the lock released while another library
// loads; a thread that needs one of them waits for port_opened.
unsigned opening[max_ports];
unsigned opening_count = 0;
os::Condition port_opened = LPT_CONDITION_INITIALIZER;
// Threads inside code not ours: until they are back, no port is closed.
unsigned foreign_calls = 0;
// Why the backend gave up the port of the access under way; "" if it did not.
char given_up[1024] = "";

// The thread's access under way, as its thread word (0 outside the
// library): where the call came from, and whether a call from another
// library's code came back on this thread meanwhile and was refused.
struct Inside {
    uintptr_t caller;
    bool came_back;
};
// The calls into other libraries' code under way, on any thread.
struct InFlight {
    lpt_foreign_code *code;
    InFlight *next;
};
InFlight *in_flight = nullptr;

bool comes_from(const lpt_foreign_code *code, uintptr_t caller)
{
    return code != nullptr && caller >= code->begin && caller < code->end;
}

void lock_ports()
{
    os::lock(&ports_lock);
}

void unlock_ports()
{
    os::unlock(&ports_lock);
}

// A port whose replacement could not be had (out of memory): it stays in
// the table, as other threads may be using it, and reads as nothing there.
uint8_t read_nothing(void *, unsigned)
{
    return 0xFF;
}
void write_nothing(void *, unsigned, uint8_t) {}
void close_nothing(void *) {}
const lpt_backend lost_port = {"lost",        nullptr, read_nothing, write_nothing,
                               close_nothing, nullptr, nullptr};

// The entry LPT_BACKEND names; the last resort cannot be chosen, as it is
// always there.
const lpt_backend *chosen_backend()
{
    char name[256];
    lpt_origin origin;
    if (!lpt_setting("LPT_BACKEND", name, sizeof name, &origin)) {
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
            lpt_append(known, sizeof known, "%s%s", known[0] != '\0' ? " or " : "",
                       backends[i]->name);
        }
        char text[400];
        snprintf(text, sizeof text, "LPT_BACKEND=%s%s is not known (use %s); choosing by itself",
                 lpt_shown(name, strlen(name), shown, sizeof shown), origin.text, known);
        lpt_say(text);
    }
    return nullptr;
}

// What the machine has that the entries the user must ask for could use.
void advise(unsigned base, char *text, size_t size)
{
    for (const lpt_backend *backend : backends) {
        char advice[1024];
        if (backend->advice != nullptr) {
            backend->advice(base, advice, sizeof advice);
            if (advice[0] != '\0') {
                lpt_append(text, size, "%s%s", text[0] != '\0' ? "; " : "", advice);
            }
        }
    }
}

// Opens the port through the first entry of the table from `first` on that
// has it, into *port. Everything said about one port goes in one line,
// once: `problems` holds what was found before.
bool open_through_table(unsigned base, size_t first, char (&problems)[2048], OpenPort *port)
{
    const lpt_backend *chosen = chosen_backend();
    for (size_t i = first; i < backend_count; ++i) {
        const lpt_backend *backend = backends[i];
        if (chosen != nullptr && backend != chosen && backend != last_resort) {
            continue;
        }
        void *handle = nullptr;
        char why[1024] = "";
        lpt_open_result result = backend->open(base, &handle, why, sizeof why);
        if (result != lpt_opened) {
            if (result == lpt_refused || chosen != nullptr) {
                lpt_append(problems, sizeof problems, "%s%s port: %s",
                           problems[0] != '\0' ? "; " : "", backend->name, why);
            }
            continue;
        }
        // Nothing may be silently lost: a port kept here is always told.
        if (backend == last_resort) {
            lpt_append(problems, sizeof problems,
                       "%sport 0x%03X: values are kept in this program only",
                       problems[0] != '\0' ? "; " : "", base);
        } else if (problems[0] != '\0') {
            lpt_append(problems, sizeof problems, "; using the %s port instead", backend->name);
        }
        // What the machine has that the user could ask for, in the same line.
        if (backend == &virtual_backend) {
            advise(base, problems, sizeof problems);
        }
        if (problems[0] != '\0') {
            lpt_say(problems);
        }
        if (backend->device != nullptr) {
            lpt_record_writes(base, &backend, &handle);
        }
        *port = OpenPort{base, backend, handle};
        return true;
    }
    // Not even this program's memory could be had.
    lpt_append(problems, sizeof problems, "%sport 0x%03X: its values are lost",
               problems[0] != '\0' ? "; " : "", base);
    lpt_say(problems);
    return false;
}

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
            lpt_say(text);
        }
        return nullptr;
    }
    opening[opening_count++] = base;
    OpenPort port;
    char problems[2048] = "";
    const bool opened = open_through_table(base, 0, problems, &port);
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

// A port its backend gave up in the middle of an access: the entries after
// the real port's take it (the real port is the table's first entry).
// Closed unless another thread is still inside its code; then it is left
// open, once per port at most.
void replace(OpenPort *port)
{
    char problems[2048] = "";
    lpt_append(problems, sizeof problems, "%s port: %s", backends[0]->name, given_up);
    given_up[0] = '\0';
    if (foreign_calls == 0) {
        port->backend->close(port->handle);
    }
    OpenPort replacement = {port->base, &lost_port, nullptr};
    open_through_table(port->base, 1, problems, &replacement);
    *port = replacement;
}

// A call from the code of a library that one of ours is waiting in (a
// wrapper of inpout32.dll whose worker thread makes its calls): handing it
// on would wait for that worker, which waits for us. Refused; the waiting
// call is told, and its port given up.
bool called_back_meanwhile(uintptr_t caller)
{
    bool back = false;
    for (InFlight *call = in_flight; call != nullptr; call = call->next) {
        if (comes_from(call->code, caller)) {
            call->code->called_back = back = true;
        }
    }
    return back;
}

// Makes an access to the port at the address's base, opening it first; a
// port given up during the access is replaced, and the access made again.
template <typename Access> void access_port(uint16_t address, const void *caller, Access access)
{
    // A call from another library's code, on a thread that is inside this
    // library already (a wrapper of inpout32.dll, or a DllMain that calls
    // Out32): refused at once, as waiting for the lock would wait for ever.
    if (Inside *current = reinterpret_cast<Inside *>(os::thread_word())) {
        current->came_back = true;
        return;
    }
    Inside self = {reinterpret_cast<uintptr_t>(caller), false};
    os::set_thread_word(reinterpret_cast<uintptr_t>(&self));
    lock_ports();
    OpenPort *port = called_back_meanwhile(self.caller) ? nullptr : port_at(address & ~3u);
    if (port != nullptr) {
        const void *used = port->handle;
        access(*port, address & 3u);
        if (given_up[0] != '\0') {
            // Another thread's access may have replaced it meanwhile.
            if (port->handle == used) {
                replace(port);
            }
            given_up[0] = '\0';
            access(*port, address & 3u);
        }
    }
    unlock_ports();
    os::set_thread_word(0);
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

bool lpt_outside_lock(void (*call)(void *context), void *context, lpt_foreign_code *code)
{
    Inside unknown = {0, false};
    Inside *self = reinterpret_cast<Inside *>(os::thread_word());
    self = self != nullptr ? self : &unknown;
    if (code != nullptr && (code->called_back || comes_from(code, self->caller))) {
        code->called_back = true;
        return false;
    }
    InFlight flight = {code, in_flight};
    in_flight = &flight;
    ++foreign_calls;
    unlock_ports();
    call(context);
    lock_ports();
    --foreign_calls;
    for (InFlight **link = &in_flight; *link != nullptr; link = &(*link)->next) {
        if (*link == &flight) {
            *link = flight.next;
            break;
        }
    }
    const bool refused = self->came_back || (code != nullptr && code->called_back);
    self->came_back = false;
    return !refused;
}

void lpt_give_up_port(const char *why)
{
    snprintf(given_up, sizeof given_up, "%s", why);
}

void lpt_unload()
{
    // Another thread of the host may still be inside Inp32 or Out32 (a
    // program ending while its threads write): waiting for it would hang the
    // program on its way out. The system frees the mappings anyway.
    if (os::try_lock(&ports_lock)) {
        if (foreign_calls == 0) {
            close_all();
        }
        unlock_ports();
    }
}

uint8_t lpt_read(uint16_t address, const void *caller)
{
    uint8_t value = 0xFF;
    access_port(address, caller, [&](OpenPort &port, unsigned reg) {
        value = port.backend->read(port.handle, reg);
    });
    return value;
}

void lpt_write(uint16_t address, uint8_t value, const void *caller)
{
    access_port(address, caller, [&](OpenPort &port, unsigned reg) {
        port.backend->write(port.handle, reg, value);
    });
}

void lpt_close_ports()
{
    lock_ports();
    if (foreign_calls == 0) {
        close_all();
    }
    unlock_ports();
}
