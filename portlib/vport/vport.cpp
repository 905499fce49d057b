// Opening a virtual port: its state file checked, rebuilt when it cannot be
// trusted, or a port kept in this process only; and what a watcher asks.
#include "vport.h"
#include "vport_claim.h"
#include "vport_layout.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace vport {
namespace {

const uint64_t no_boot[2] = {0, 0};

uint64_t next_generation()
{
    // Any value a watcher has not seen for this file; never 0.
    return (os::monotonic_ns() << 8) ^ os::process_id() ^ 1;
}

// `blank`: the file was just made its size, all zeros: its history is not
// written over, so that a program touches only the pages it uses.
void initialise(State *s, unsigned base, bool blank)
{
    // A file mapped by others: they see the header change as one step.
    __atomic_store_n(&s->magic, 0, __ATOMIC_RELEASE);
    s->version = file_version;
    s->size = sizeof(State);
    s->history_slots = history_length;
    s->base = base;
    for (DeviceName &device : s->devices) {
        __atomic_store_n(&device.mark, 0, __ATOMIC_RELAXED);
        memset(device.name, 0, sizeof device.name);
    }
    __atomic_store_n(&s->last_device, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->status_setter, 0, __ATOMIC_RELAXED);
    initialise_claims(s);
    if (!os::boot_id(s->boot_id)) {
        memcpy(s->boot_id, no_boot, sizeof s->boot_id);
    }
    __atomic_store_n(&s->generation, next_generation(), __ATOMIC_RELAXED);
    __atomic_store_n(&s->registers[data], register_word(0, 0), __ATOMIC_RELAXED);
    __atomic_store_n(&s->registers[status], register_word(0, status_at_start), __ATOMIC_RELAXED);
    __atomic_store_n(&s->registers[control], register_word(0, control_at_start), __ATOMIC_RELAXED);
    __atomic_store_n(&s->next_write, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&s->waiting, 0, __ATOMIC_RELAXED);
    for (Slot &slot : s->history) {
        if (blank) {
            break;
        }
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
    if (!os::boot_id(now) || memcmp(s->boot_id, no_boot, sizeof s->boot_id) == 0) {
        return false;
    }
    return !os::same_boot(s->boot_id, now);
}

// Maps the state file of the port at `base`, locked. When creating, *fresh
// tells that its contents must be rebuilt.
Opened open_file(unsigned base, Port *port, bool create, bool *fresh, char *why, size_t why_size)
{
    *port = Port();
    port->base = base;
    *fresh = false;
    port->path = state_path(base);
    if (port->path == nullptr) {
        snprintf(why, why_size,
                 "no folder for the state files could be had: set LPT_VIRTUAL_DIR to a folder "
                 "of your own");
        return refused;
    }
    Opened result =
        state_file::open(port->path, sizeof(State), create, &port->file, fresh, why, why_size);
    if (result == stuck) {
        // Marked first, so that the programs that map it follow to the new
        // file at their next access.
        State *old = static_cast<State *>(port->file.mapping.view);
        __atomic_store_n(&old->magic, retired_magic, __ATOMIC_SEQ_CST);
        state_file::give_up(port->path, &port->file);
        result =
            state_file::open(port->path, sizeof(State), create, &port->file, fresh, why, why_size);
        if (result == stuck) {
            state_file::close(&port->file);
            snprintf(why, why_size, "%s is in use and of another size; end the programs using it",
                     port->path);
            result = refused;
        }
    }
    if (result == opened) {
        port->state = static_cast<State *>(port->file.mapping.view);
        port->shared = true;
        port->writable = port->file.writable;
    } else {
        free(port->path);
        port->path = nullptr;
    }
    return result;
}

} // namespace

char *state_path(unsigned base)
{
    char *folder = state_file::folder();
    if (folder == nullptr) {
        return nullptr;
    }
    // One separator, of the system's kind: a name of the long form
    // (\\?\C:\...) takes no other.
    const size_t length = strlen(folder);
    const bool ends = length > 0 && os::is_separator(folder[length - 1]);
    const size_t size = length + 20;
    char *path = static_cast<char *>(malloc(size));
    if (path != nullptr) {
        snprintf(path, size, "%s%slpt-%03x.state", folder, ends ? "" : os::separator, base);
    }
    free(folder);
    return path;
}

bool state_path(unsigned base, char *path, size_t size)
{
    char *full = state_path(base);
    const bool fits = full != nullptr && strlen(full) < size;
    snprintf(path, size, "%s", fits ? full : "");
    free(full);
    return fits;
}

namespace {

// The header and registers of valid(), without its look at every record:
// cheap enough for a watcher's every look.
bool valid_head(const State *s, unsigned base, uint64_t *highest)
{
    if (load(&s->magic) != file_magic || s->version != file_version || s->size != sizeof(State) ||
        s->history_slots != history_length || s->base != base) {
        return false;
    }
    // Registers and records first: a writer numbers its write before it
    // latches or records it, so a live file never looks ahead of itself.
    if ((load(&s->registers[status]) & status_unused) != status_unused) {
        return false;
    }
    *highest = 0;
    for (unsigned reg = 0; reg < register_count; ++reg) {
        const uint64_t number = register_number(load(&s->registers[reg]));
        *highest = number > *highest ? number : *highest;
    }
    return true;
}

bool count_holds(const State *s, uint64_t highest)
{
    const uint64_t next = load(&s->next_write);
    return next != 0 && next < write_limit && highest < next;
}

} // namespace

bool valid(const State *s, unsigned base)
{
    uint64_t highest = 0;
    if (!valid_head(s, base, &highest)) {
        return false;
    }
    for (uint32_t i = 0; i < history_length; ++i) {
        const uint64_t number = load(&s->history[i].tag);
        if (number != 0 && number % history_length != i) {
            return false;
        }
        highest = number > highest ? number : highest;
    }
    return count_holds(s, highest);
}

bool open_shared(unsigned base, Port *port, char *why, size_t why_size)
{
    bool fresh = false;
    if (open_file(base, port, true, &fresh, why, why_size) != opened) {
        return false;
    }
    if (fresh || !valid(port->state, base) || stale(port->state)) {
        // Told, unlike a damaged file: a user who updated the library may
        // wonder where the port's state went.
        port->replaced_old_version = !fresh && load(&port->state->magic) == file_magic &&
                                     port->state->version < file_version;
        initialise(port->state, base, fresh);
    }
    port->generation = load(&port->state->generation);
    port->checked_ms = os::coarse_ms();
    state_file::unlock(port->file);
    return true;
}

Opened open_existing(unsigned base, Port *port, char *why, size_t why_size)
{
    bool unused;
    const Opened result = open_file(base, port, false, &unused, why, why_size);
    if (result != opened) {
        return result == absent ? absent : refused;
    }
    const bool ok = valid(port->state, base);
    const bool old = ok && stale(port->state);
    port->generation = load(&port->state->generation);
    state_file::unlock(port->file);
    if (ok && !old && !lost(port)) {
        return opened;
    }
    if (!old) {
        snprintf(why, why_size, "%s is damaged or of another version", port->path);
    }
    close(port);
    return old ? absent : refused;
}

bool open_private(unsigned base, Port *port)
{
    *port = Port();
    port->base = base;
    State *state = static_cast<State *>(calloc(1, sizeof(State)));
    if (state == nullptr) {
        return false;
    }
    initialise(state, base, true); // calloc's
    port->state = state;
    port->writable = true;
    port->generation = state->generation;
    return true;
}

void close(Port *port)
{
    free(port->path);
    port->path = nullptr;
    if (port->state == nullptr) {
        return;
    }
    if (port->shared) {
        state_file::close(&port->file);
    } else {
        free(port->state);
    }
    port->state = nullptr;
}

bool lost(const Port *port)
{
    return port->shared && (os::faulted(port->file.mapping) || retired(port));
}

bool retired(const Port *port)
{
    return port->shared && load(&port->state->magic) == retired_magic;
}

bool moved_off(Port *port)
{
    if (!port->shared) {
        return false;
    }
    const uint64_t now = os::coarse_ms();
    if (now - port->checked_ms < 1000) {
        return false;
    }
    port->checked_ms = now;
    return state_file::replaced(port->path, port->file);
}

bool changed(const Port *port)
{
    // Not every record: that would read the whole history at every look.
    uint64_t highest = 0;
    return lost(port) || state_file::replaced(port->path, port->file) ||
           load(&port->state->generation) != port->generation ||
           !valid_head(port->state, port->base, &highest) || !count_holds(port->state, highest);
}

void wait_for_change(const Port *port, uint32_t seen, int timeout_ms)
{
    if (!port->writable) {
        // Cannot mark itself waiting: look again soon.
        os::sleep_ms(timeout_ms < 100 ? timeout_ms : 100);
        return;
    }
    State *s = port->state;
    // With two watchers, one may set the flag just as a writer clears it
    // for the other; that one then sleeps to its timeout at worst. Writers
    // pay nothing for that, which is what matters here.
    __atomic_store_n(&s->waiting, 1, __ATOMIC_SEQ_CST);
    os::wait(&s->changes, seen, timeout_ms);
}

} // namespace vport
