#include "vport.h"
#include "sys.h"

#include <stdio.h>
#include <string.h>

namespace vport {
namespace {

const uint64_t no_boot[2] = {0, 0};

uint64_t next_generation()
{
    // Any value a watcher has not seen for this file; never 0.
    return (sys::monotonic_ns() << 8) ^ sys::process_id() ^ 1;
}

void initialise(State *s, unsigned base)
{
    // A file mapped by others: they see the header change as one step.
    __atomic_store_n(&s->magic, 0, __ATOMIC_RELEASE);
    s->version = file_version;
    s->size = sizeof(State);
    s->history_slots = history_length;
    s->base = base;
    s->real_port = 0;
    if (!sys::boot_id(s->boot_id)) {
        memcpy(s->boot_id, no_boot, sizeof s->boot_id);
    }
    __atomic_store_n(&s->generation, next_generation(), __ATOMIC_RELAXED);
    __atomic_store_n(&s->registers[data], 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->registers[status], status_idle, __ATOMIC_RELAXED);
    __atomic_store_n(&s->registers[control], control_initial, __ATOMIC_RELAXED);
    __atomic_store_n(&s->next_write, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&s->waiting, 0, __ATOMIC_RELAXED);
    for (Slot &slot : s->history) {
        __atomic_store_n(&slot.tag, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&slot.time_ns, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&slot.payload, 0, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&s->magic, file_magic, __ATOMIC_RELEASE);
    // Wakes watchers, who then notice the new generation.
    __atomic_fetch_add(&s->changes, 1, __ATOMIC_SEQ_CST);
}

// Written in another boot: its times are of another clock and the latch it
// keeps did not survive the power cycle.
bool stale(const State *s)
{
    uint8_t now[16];
    if (!sys::boot_id(now) || memcmp(s->boot_id, no_boot, sizeof s->boot_id) == 0) {
        return false;
    }
    return !sys::same_boot(s->boot_id, now);
}

uint64_t payload_of(uint64_t number, unsigned reg, uint8_t value)
{
    return static_cast<uint64_t>(sys::process_id()) << 32 | (number >> 10 & 0xFFFF) << 16 |
           reg << 8 | value;
}

// Stores `value` in one word of a record only while this writer still holds
// the record: a newer writer that took the slot over keeps what it wrote.
bool store_while_held(uint64_t *word, uint64_t value, const uint64_t *tag, uint64_t held)
{
    uint64_t current = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    while (__atomic_load_n(tag, __ATOMIC_SEQ_CST) == held) {
        if (__atomic_compare_exchange_n(word, &current, value, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            return true;
        }
    }
    return false;
}

// Claims the slot for this write, unless a newer one has it, then fills it.
// The payload goes last: with its number bits it completes the record.
void record(State *s, uint64_t number, unsigned reg, uint8_t value)
{
    Slot &slot = s->history[number % history_length];
    uint64_t tag = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    do {
        if (tag >= number) {
            return; // a newer write has the slot: this one is out of the history
        }
    } while (!__atomic_compare_exchange_n(&slot.tag, &tag, number, false, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST));
    if (store_while_held(&slot.time_ns, monotonic_ns(), &slot.tag, number)) {
        store_while_held(&slot.payload, payload_of(number, reg, value), &slot.tag, number);
    }
}

} // namespace

uint64_t monotonic_ns()
{
    return sys::monotonic_ns();
}

bool state_path(unsigned base, char *path, size_t size)
{
    char folder[512];
    if (!sys::state_folder(folder, sizeof folder)) {
        return false;
    }
    int n = snprintf(path, size, "%s/lpt-%03x.state", folder, base);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool valid(const State *s, unsigned base)
{
    if (load(&s->magic) != file_magic || s->version != file_version || s->size != sizeof(State) ||
        s->history_slots != history_length || s->base != base) {
        return false;
    }
    // Registers and records first: a writer numbers its write before it
    // latches or records it, so a live file never looks ahead of itself.
    if (load(&s->registers[status]) != status_idle) {
        return false;
    }
    const uint64_t data_number = load(&s->registers[data]) >> 8;
    const uint64_t control_number = load(&s->registers[control]) >> 8;
    uint64_t highest = data_number > control_number ? data_number : control_number;
    for (uint32_t i = 0; i < history_length; ++i) {
        const uint64_t number = load(&s->history[i].tag);
        if (number != 0 && number % history_length != i) {
            return false;
        }
        highest = number > highest ? number : highest;
    }
    const uint64_t next = load(&s->next_write);
    return next != 0 && next < write_limit && highest < next;
}

bool open_shared(unsigned base, Port *port, char *why, size_t why_size)
{
    *port = Port();
    port->base = base;
    if (!state_path(base, port->path, sizeof port->path)) {
        snprintf(why, why_size, "the folder for the state files has too long a name");
        return false;
    }
    bool fresh = false;
    if (sys::open_state(port, sizeof(State), true, &fresh, why, why_size) != sys::opened) {
        return false;
    }
    if (fresh || !valid(port->state, base) || stale(port->state)) {
        initialise(port->state, base);
    }
    port->generation = load(&port->state->generation);
    sys::unlock(port);
    return true;
}

Found open_existing(unsigned base, Port *port, char *why, size_t why_size)
{
    *port = Port();
    port->base = base;
    if (!state_path(base, port->path, sizeof port->path)) {
        snprintf(why, why_size, "the folder for the state files has too long a name");
        return unusable;
    }
    switch (sys::open_state(port, sizeof(State), false, nullptr, why, why_size)) {
    case sys::missing:
        return never_written;
    case sys::refused:
        return unusable;
    case sys::opened:
        break;
    }
    const bool ok = valid(port->state, base);
    const bool old = ok && stale(port->state);
    port->generation = load(&port->state->generation);
    sys::unlock(port);
    if (ok && !old && !sys::faulted(port)) {
        return found;
    }
    if (!old) {
        snprintf(why, why_size, "%s is damaged or of another version", port->path);
    }
    close(port);
    return old ? never_written : unusable;
}

bool open_private(unsigned base, Port *port)
{
    *port = Port();
    port->base = base;
    State *state = static_cast<State *>(sys::allocate(sizeof(State)));
    if (state == nullptr) {
        return false;
    }
    initialise(state, base);
    port->state = state;
    port->writable = true;
    port->generation = state->generation;
    return true;
}

void close(Port *port)
{
    if (port->state == nullptr) {
        return;
    }
    if (port->shared) {
        sys::close_state(port, sizeof(State));
    } else {
        sys::release(port->state);
    }
    port->state = nullptr;
}

bool lost(const Port *port)
{
    return port->shared && sys::faulted(port);
}

bool changed(const Port *port)
{
    return lost(port) || sys::replaced(port) ||
           load(&port->state->generation) != port->generation || !valid(port->state, port->base);
}

void wait_for_change(const Port *port, uint32_t seen, int timeout_ms)
{
    if (!port->writable) {
        // Cannot mark itself waiting: look again soon.
        sys::sleep_ms(timeout_ms < 100 ? timeout_ms : 100);
        return;
    }
    State *s = port->state;
    // With two watchers, one may set the flag just as a writer clears it
    // for the other; that one then sleeps to its timeout at worst. Writers
    // pay nothing for that, which is what matters here.
    __atomic_store_n(&s->waiting, 1, __ATOMIC_SEQ_CST);
    sys::wait(&s->changes, seen, timeout_ms);
}

void write(State *s, unsigned reg, uint8_t value)
{
    // Status lines are inputs: a write to them changes nothing, as on a port.
    if (reg >= register_count || reg == status) {
        return;
    }
    write_numbered(s, take_number(s), reg, value);
}

uint64_t take_number(State *s)
{
    return __atomic_fetch_add(&s->next_write, 1, __ATOMIC_ACQ_REL);
}

void write_numbered(State *s, uint64_t number, unsigned reg, uint8_t value)
{
    record(s, number, reg, value);

    const uint64_t word = number << 8 | value;
    uint64_t current = __atomic_load_n(&s->registers[reg], __ATOMIC_RELAXED);
    while ((current >> 8) < number &&
           !__atomic_compare_exchange_n(&s->registers[reg], &current, word, true, __ATOMIC_RELEASE,
                                        __ATOMIC_RELAXED)) {
    }
    __atomic_fetch_add(&s->changes, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->waiting, __ATOMIC_SEQ_CST) != 0) {
        __atomic_store_n(&s->waiting, 0, __ATOMIC_SEQ_CST);
        sys::wake(&s->changes);
    }
}

uint8_t read(const State *s, unsigned reg)
{
    if (reg >= register_count) {
        return 0xFF; // no register there: the bus floats high
    }
    return static_cast<uint8_t>(load(&s->registers[reg]) & 0xFF);
}

size_t recent_writes(const State *s, Write *out, size_t max)
{
    const uint64_t next = load(&s->next_write);
    uint64_t first = next > history_length ? next - history_length : 1;
    if (next - first > max) {
        first = next - max;
    }
    size_t count = 0;
    for (uint64_t number = first; number < next; ++number) {
        const Slot &slot = s->history[number % history_length];
        // Payload before time: a payload with this number's bits was stored
        // after the time; the tag read last tells that no newer writer came.
        const uint64_t before = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
        const uint64_t payload = __atomic_load_n(&slot.payload, __ATOMIC_SEQ_CST);
        const uint64_t time_ns = __atomic_load_n(&slot.time_ns, __ATOMIC_SEQ_CST);
        const uint64_t after = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
        if (before != number || after != number ||
            (payload >> 16 & 0xFFFF) != (number >> 10 & 0xFFFF)) {
            continue; // being written, overwritten, or lost with its writer
        }
        out[count++] =
            Write{number, time_ns, static_cast<unsigned>(payload >> 8 & 0xFF),
                  static_cast<uint8_t>(payload & 0xFF), static_cast<uint32_t>(payload >> 32)};
    }
    return count;
}

} // namespace vport
