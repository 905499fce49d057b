// The devices whose writes a port's file records: their names kept in the
// file, and which one the last write went to.
#include "vport.h"
#include "vport_layout.h"

#include <stdio.h>

namespace vport {

DeviceMark device_mark(const char *name)
{
    DeviceMark mark = {0, ""};
    if (name == nullptr || name[0] == '\0') {
        return mark;
    }
    snprintf(mark.name, sizeof mark.name, "%s", name);
    // A hash of the name, never 0: the cheap compare of each write.
    uint32_t hash = 2166136261u;
    for (const char *c = mark.name; *c != '\0'; ++c) {
        hash = (hash ^ static_cast<uint8_t>(*c)) * 16777619u;
    }
    // A hardware port's (emulated_device_mark marks the others).
    mark.mark = (hash | mark_named) & ~mark_emulated;
    return mark;
}

namespace {

// Finds the device's number in the file, or takes a free one and writes the
// name in it; with all taken, the last one stands for the rest.
unsigned assign_number(State *s, const DeviceMark &mark)
{
    for (unsigned i = 0; i + 1 < device_limit; ++i) {
        if (load(&s->devices[i].mark) == mark.mark) {
            return i + 1;
        }
    }
    static_assert(sizeof mark.name == device_name_size, "a mark's name fits the file's");
    for (unsigned i = 0; i + 1 < device_limit; ++i) {
        DeviceName &entry = s->devices[i];
        uint32_t free = 0;
        if (__atomic_compare_exchange_n(&entry.mark, &free, being_named, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED)) {
            for (size_t c = 0; c < device_name_size; ++c) {
                __atomic_store_n(&entry.name[c], mark.name[c], __ATOMIC_RELAXED);
            }
            __atomic_store_n(&entry.mark, mark.mark, __ATOMIC_RELEASE);
            return i + 1;
        }
    }
    return device_limit - 1;
}

} // namespace

unsigned device_number(Port *port, const DeviceMark &mark)
{
    if (mark.mark == 0) {
        return 0;
    }
    hold_as_device_writer(port);
    // A plain load while the device keeps its number: the file may have
    // been rebuilt since, its names cleared.
    if (port->device != 0 && port->device_mark == mark.mark &&
        load(&port->state->devices[port->device - 1].mark) == mark.mark) {
        return port->device;
    }
    port->device = assign_number(port->state, mark);
    port->device_mark = mark.mark;
    return port->device;
}

namespace {

// A byte of the file per process id, beyond its end, that a process holds
// while it records a device's writes.
uint64_t writer_byte(uint32_t pid)
{
    return (uint64_t{1} << 30) + pid;
}

} // namespace

void hold_as_device_writer(Port *port)
{
    const uint32_t me = os::process_id();
    if (port->shared && port->held_for != me) {
        os::hold_byte(port->file.file, writer_byte(me));
        port->held_for = me;
    }
}

bool device_writer_runs(const Port *port, uint32_t pid)
{
    return port->shared && os::byte_held(port->file.file, writer_byte(pid));
}

// A plain load first: a store on every write would cost every writer the
// cache line's ownership.
void mark_device(State *s, unsigned device, uint32_t pid)
{
    const uint64_t word = device == 0 ? 0 : device_word(pid != 0 ? pid : os::process_id(), device);
    if (load(&s->last_device) != word) {
        __atomic_store_n(&s->last_device, word, __ATOMIC_RELEASE);
    }
}

unsigned last_device(const State *s, uint32_t *pid)
{
    const uint64_t word = load(&s->last_device);
    *pid = device_word_pid(word);
    return device_word_device(word);
}

bool device_name(const State *s, unsigned device, char *name, size_t size)
{
    if (size == 0) {
        return false;
    }
    name[0] = '\0';
    if (device == 0 || device >= device_limit) {
        return false;
    }
    const DeviceName &entry = s->devices[device - 1];
    // The last entry may be named anew under us: read again while its mark
    // changes, and shown as it stands after a few tries.
    for (int tries = 0; tries < 3; ++tries) {
        const uint32_t mark = load(&entry.mark);
        if ((mark & mark_named) == 0) {
            return false; // free or being named
        }
        size_t n = 0;
        for (; n + 1 < size && n < device_name_size; ++n) {
            const char c = __atomic_load_n(&entry.name[n], __ATOMIC_RELAXED);
            if (c == '\0') {
                break;
            }
            // Whatever the file holds, nothing that moves a terminal's cursor.
            name[n] = static_cast<uint8_t>(c) < 0x20 || c == 0x7F ? '?' : c;
        }
        name[n] = '\0';
        if (load(&entry.mark) == mark) {
            break;
        }
    }
    return name[0] != '\0';
}

} // namespace vport
