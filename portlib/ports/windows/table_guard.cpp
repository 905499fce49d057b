// The table's guard around the hardware's own library: a call that comes
// back from it is refused, never waited for, and the port it came through
// given up for the next entry.
#include "table_guard.h"
#include "backends.h"
#include "foreign_code.h"
#include "os_windows.h"
#include "say.h"

#include <stdio.h>

namespace ports {

namespace {

// The calls into other libraries' code under way, on any thread.
struct InFlight {
    ForeignCode *code;
    InFlight *next;
};
InFlight *in_flight = nullptr;
// Threads inside code not ours: until they are back, no port is closed.
unsigned foreign_calls = 0;
// Why the backend gave up the port of the access under way; "" if it did not.
char given_up[1024] = "";

bool comes_from(const ForeignCode *code, uintptr_t caller)
{
    return code != nullptr && caller >= code->begin && caller < code->end;
}

// A port whose replacement could not be had (out of memory): it stays in
// the table, as other threads may be using it, and reads as nothing there.
uint8_t read_nothing(void *, unsigned)
{
    return 0xFF;
}
void write_nothing(void *, unsigned, uint8_t) {}
void close_nothing(void *) {}
const Backend lost_port = {"lost",        nullptr, read_nothing, write_nothing,
                           close_nothing, nullptr, nullptr};

// A port its backend gave up in the middle of an access: the entries after
// the real port take it. Closed unless another thread is still inside its
// code; then it is left open, once per port at most.
void replace(OpenPort *port)
{
    char problems[2048] = "";
    append(problems, sizeof problems, "%s port: %s", real_backend.name, given_up);
    given_up[0] = '\0';
    if (foreign_calls == 0) {
        port->backend->close(port->handle);
    }
    OpenPort replacement = {port->base, &lost_port, nullptr};
    open_port(port->base, &real_backend, problems, &replacement);
    *port = replacement;
}

} // namespace

bool enter(Call *self, const void *caller)
{
    if (Call *current = reinterpret_cast<Call *>(os::windows::thread_word())) {
        current->came_back = true;
        return false;
    }
    *self = Call{reinterpret_cast<uintptr_t>(caller), false};
    os::windows::set_thread_word(reinterpret_cast<uintptr_t>(self));
    return true;
}

void leave(Call *)
{
    os::windows::set_thread_word(0);
}

// A call from the code of a library that one of ours is waiting in (a
// wrapper of inpout32.dll whose worker thread makes its calls): handing it
// on would wait for that worker, which waits for us. Refused; the waiting
// call is told, and its port given up.
bool refused_meanwhile(const Call *self)
{
    bool back = false;
    for (InFlight *call = in_flight; call != nullptr; call = call->next) {
        if (comes_from(call->code, self->caller)) {
            call->code->called_back = back = true;
        }
    }
    return back;
}

bool replace_given_up(OpenPort *port, const void *used)
{
    if (given_up[0] == '\0') {
        return false;
    }
    // Another thread's access may have replaced it meanwhile.
    if (port->handle == used) {
        replace(port);
    }
    given_up[0] = '\0';
    return true;
}

bool foreign_code_running()
{
    return foreign_calls != 0;
}

bool outside_lock(void (*call)(void *context), void *context, ForeignCode *code)
{
    Call unknown = {0, false};
    Call *self = reinterpret_cast<Call *>(os::windows::thread_word());
    self = self != nullptr ? self : &unknown;
    if (code != nullptr && (code->called_back || comes_from(code, self->caller))) {
        code->called_back = true;
        return false;
    }
    InFlight flight = {code, in_flight};
    in_flight = &flight;
    ++foreign_calls;
    unlock_table();
    call(context);
    lock_table();
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

void give_up_port(const char *why)
{
    snprintf(given_up, sizeof given_up, "%s", why);
}

} // namespace ports
