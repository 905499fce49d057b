// A port's writes and reads: numbered, latched and recorded so that
// concurrent writers lose nothing, and a stalled one overwrites nothing.
#include "vport_layout.h"

#include <stdio.h>

namespace vport {
namespace {

uint64_t check_bits(uint64_t number)
{
    return number >> history_bits & 0xFFFF;
}

uint64_t payload_of(uint64_t number, unsigned reg, uint8_t value, unsigned device, uint32_t pid)
{
    return static_cast<uint64_t>(pid != 0 ? pid : os::process_id()) << 32 |
           check_bits(number) << 16 | (device & 0xF) << 12 | (reg & 0xF) << 8 | value;
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

// Whether `word_number` was left by a write numbered before a rebuild: no
// write of the file's present count has that number yet.
bool ahead_of_count(const State *s, uint64_t word_number)
{
    return word_number >= load(&s->next_write);
}

// The low half of the payload of a record being made: the previous lap's
// check bits, so that it never completes this number's record, and a
// register that no write has, so that it is not taken for that lap's.
uint64_t being_made(uint64_t number)
{
    return ((check_bits(number) - 1) & 0xFFFF) << 16 | 0xFull << 8;
}

// Fills the slot claimed for this write. The payload goes last: with its
// number bits it completes the record.
void record(State *s, uint64_t number, unsigned reg, uint8_t value, unsigned device, uint32_t pid)
{
    Slot &slot = s->history[number % history_length];
    if (claim(s, number) &&
        store_while_held(&slot.time_ns, os::monotonic_ns(), &slot.tag, number)) {
        store_while_held(&slot.payload, payload_of(number, reg, value, device, pid), &slot.tag,
                         number);
    }
}

// The latest write by number wins; a word left ahead of the count by a
// rebuild is no write of this file's and loses to any.
void latch(State *s, uint64_t number, unsigned reg, uint8_t value)
{
    const uint64_t word = number << 8 | value;
    uint64_t current = __atomic_load_n(&s->registers[reg], __ATOMIC_ACQUIRE);
    while (((current >> 8) < number || ahead_of_count(s, current >> 8)) &&
           !__atomic_compare_exchange_n(&s->registers[reg], &current, word, true, __ATOMIC_RELEASE,
                                        __ATOMIC_ACQUIRE)) {
    }
}

} // namespace

bool claim(State *s, uint64_t number)
{
    Slot &slot = s->history[number % history_length];
    uint64_t tag = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    do {
        if (tag >= number && !ahead_of_count(s, tag)) {
            return false; // a newer write has the slot: this one is out of the history
        }
    } while (!__atomic_compare_exchange_n(&slot.tag, &tag, number, false, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST));
    // Named at once: a watcher waits for a write being made only while the
    // process making it runs, so that a program killed or ended halfway
    // through a write does not hold back lptmon's log and view.
    return store_while_held(&slot.payload, uint64_t{os::process_id()} << 32 | being_made(number),
                            &slot.tag, number);
}

void write(State *s, unsigned reg, uint8_t value, unsigned device, uint32_t pid)
{
    // Status lines are inputs: a write to them changes nothing, as on a port.
    if (reg >= register_count || reg == status) {
        return;
    }
    write_numbered(s, take_number(s), reg, value, device, pid);
}

void set_status(State *s, uint8_t value)
{
    // A rising nAck interrupts the program holding a parallel port device;
    // counted before the write wakes it.
    if ((read(s, status) & 0x40) == 0 && (value & 0x40) != 0) {
        __atomic_fetch_add(&s->nack_edges, 1, __ATOMIC_SEQ_CST);
    }
    write_numbered(s, take_number(s), status, value | status_unused);
}

uint64_t take_number(State *s)
{
    return __atomic_fetch_add(&s->next_write, 1, __ATOMIC_ACQ_REL);
}

void write_numbered(State *s, uint64_t number, unsigned reg, uint8_t value, unsigned device,
                    uint32_t pid)
{
    record(s, number, reg, value, device, pid);
    latch(s, number, reg, value);
    // Another program rebuilt the file between numbering and latching, and
    // its count started anew below this number: the record and the latch
    // are taken back and the write made again with a number of the new
    // count, so that the next writes are not hidden behind it. Bounded: a
    // file rebuilt on every try keeps the last one.
    for (int tries = 0; tries < 3 && ahead_of_count(s, number); ++tries) {
        uint64_t held = number;
        __atomic_compare_exchange_n(&s->history[number % history_length].tag, &held, 0, false,
                                    __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
        number = take_number(s);
        record(s, number, reg, value, device, pid);
        latch(s, number, reg, value);
    }
    __atomic_fetch_add(&s->changes, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->waiting, __ATOMIC_SEQ_CST) != 0) {
        __atomic_store_n(&s->waiting, 0, __ATOMIC_SEQ_CST);
        os::wake(&s->changes);
    }
}

void set_status_bit(State *s, uint8_t bit, bool set)
{
    // Taken from a watcher that died holding it, or that held it for over a
    // second (a change takes microseconds), so that no switch stays stuck.
    const uint32_t me = os::process_id();
    const uint64_t deadline = os::monotonic_ns() + 1000000000ull;
    uint32_t holder = 0;
    for (int tries = 0; !__atomic_compare_exchange_n(&s->status_setter, &holder, me, false,
                                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
         ++tries) {
        // Also this pid's: left by a process that died before this one got
        // its number.
        if ((holder != me && !os::process_alive(holder)) || os::monotonic_ns() > deadline) {
            continue; // the next try takes it over from `holder`
        }
        if (tries > 100) {
            os::sleep_ms(1);
        }
        holder = 0;
    }
    const uint8_t value = read(s, status);
    set_status(s, static_cast<uint8_t>(set ? value | bit : value & ~bit));
    __atomic_store_n(&s->status_setter, 0, __ATOMIC_RELEASE);
}

uint8_t read(const State *s, unsigned reg)
{
    if (reg >= register_count) {
        return 0xFF; // no register there: the bus floats high
    }
    return static_cast<uint8_t>(load(&s->registers[reg]) & 0xFF);
}

namespace {

enum Look { whole, pending, overwritten };

// The record of write `number`, if its slot holds it whole.
Look look(const State *s, uint64_t number, Write *out)
{
    const Slot &slot = s->history[number % history_length];
    // Payload before time: a payload with this number's bits was stored
    // after the time; the tag read last tells that no newer writer came.
    const uint64_t before = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    const uint64_t payload = __atomic_load_n(&slot.payload, __ATOMIC_SEQ_CST);
    const uint64_t time_ns = __atomic_load_n(&slot.time_ns, __ATOMIC_SEQ_CST);
    const uint64_t after = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    if (after > number && !ahead_of_count(s, after)) {
        return overwritten;
    }
    // A payload with no process is a new file's zeros, whose check bits
    // match the first 65536 numbers: a claimed slot not yet written in.
    if (before != number || after != number || (payload >> 16 & 0xFFFF) != check_bits(number) ||
        payload >> 32 == 0) {
        return pending; // not yet claimed or being written, or lost with its writer
    }
    *out = Write{number,
                 time_ns,
                 static_cast<unsigned>(payload >> 8 & 0xF),
                 static_cast<uint8_t>(payload & 0xFF),
                 static_cast<uint32_t>(payload >> 32),
                 static_cast<unsigned>(payload >> 12 & 0xF)};
    return whole;
}

// A write still being made is counted as missed rather than waited for
// when its writer has ended; when a later one was made over a second ago
// (its writer stalled); or when this watcher has seen no writer named in
// it for a second: its writer died between numbering it and claiming its
// slot, a few instructions that one that runs passes at once.
bool abandoned(const State *s, uint64_t number, uint64_t next, Awaited *awaited)
{
    const uint64_t payload =
        __atomic_load_n(&s->history[number % history_length].payload, __ATOMIC_SEQ_CST);
    const uint64_t now = os::monotonic_ns();
    if ((payload & 0xFFFFFFFF) == being_made(number)) {
        if (!os::process_alive(static_cast<uint32_t>(payload >> 32))) {
            return true;
        }
    } else if (awaited != nullptr && awaited->number != number) {
        *awaited = Awaited{number, now};
    } else if (awaited != nullptr && awaited->since_ns + 1000000000ull < now) {
        return true;
    }
    Write later;
    for (uint64_t n = number + 1; n < next; ++n) {
        if (look(s, n, &later) == whole) {
            return later.time_ns + 1000000000ull < now;
        }
    }
    return false;
}

} // namespace

size_t recent_writes(const State *s, Write *out, size_t max)
{
    const uint64_t next = load(&s->next_write);
    uint64_t first = next > history_length ? next - history_length : 1;
    if (next - first > max) {
        first = next - max;
    }
    size_t count = 0;
    for (uint64_t number = first; number < next; ++number) {
        count += look(s, number, &out[count]) == whole;
    }
    return count;
}

size_t writes_after(const State *s, uint64_t after, Write *out, size_t max, uint64_t *missed,
                    Awaited *awaited)
{
    *missed = 0;
    const uint64_t next = load(&s->next_write);
    uint64_t number = after + 1;
    if (number >= next) {
        return 0; // nothing newer, or the count started anew in a rebuilt file
    }
    if (next - number > history_length) {
        *missed = next - history_length - number;
        number = next - history_length;
    }
    size_t count = 0;
    for (; number < next && count < max; ++number) {
        const Look found = look(s, number, &out[count]);
        if (found == whole) {
            ++count;
            continue;
        }
        if (count > 0 || (found == pending && !abandoned(s, number, next, awaited))) {
            // Being made: told at the next call, in its order; the misses
            // come before the writes returned with them.
            break;
        }
        ++*missed; // not kept: the later ones are still told
    }
    return count;
}
uint64_t write_count(const State *s)
{
    return load(&s->next_write) - 1;
}

uint32_t changes(const State *s)
{
    return load(&s->changes);
}

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
    // Odd; bit 1 clear for a hardware port (emulated_device_mark sets it).
    mark.mark = (hash | 1u) & ~2u;
    return mark;
}

namespace {

// Finds the device's number in the file, or takes a free one and writes the
// name in it; with all taken, the last one stands for the rest.
unsigned claim(State *s, const DeviceMark &mark)
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
    // A plain load while the device keeps its number: the file may have
    // been rebuilt since, its names cleared.
    if (port->device != 0 && port->device_mark == mark.mark &&
        load(&port->state->devices[port->device - 1].mark) == mark.mark) {
        return port->device;
    }
    port->device = claim(port->state, mark);
    port->device_mark = mark.mark;
    return port->device;
}

// A plain load first: a store on every write would cost every writer the
// cache line's ownership.
void mark_device(State *s, unsigned device, uint32_t pid)
{
    const uint64_t word =
        device == 0 ? 0 : static_cast<uint64_t>(pid != 0 ? pid : os::process_id()) << 32 | device;
    if (load(&s->last_device) != word) {
        __atomic_store_n(&s->last_device, word, __ATOMIC_RELEASE);
    }
}

unsigned last_device(const State *s, uint32_t *pid)
{
    const uint64_t word = load(&s->last_device);
    *pid = static_cast<uint32_t>(word >> 32);
    return static_cast<unsigned>(word & 0xFFFFFFFF);
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
        if ((mark & 1) == 0) {
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
