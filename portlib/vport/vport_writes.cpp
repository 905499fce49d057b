// A port's writes and reads: numbered, latched and recorded so that
// concurrent writers lose nothing, and a stalled one overwrites nothing.
#include "vport_layout.h"

#include <stdio.h>

namespace vport {
namespace {

uint64_t payload_of(uint64_t number, unsigned reg, uint8_t value)
{
    return static_cast<uint64_t>(os::process_id()) << 32 | (number >> 10 & 0xFFFF) << 16 |
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

// Whether `word_number` was left by a write numbered before a rebuild: no
// write of the file's present count has that number yet.
bool ahead_of_count(const State *s, uint64_t word_number)
{
    return word_number >= load(&s->next_write);
}

// Claims the slot for this write, unless a newer one has it, then fills it.
// The payload goes last: with its number bits it completes the record.
void record(State *s, uint64_t number, unsigned reg, uint8_t value)
{
    Slot &slot = s->history[number % history_length];
    uint64_t tag = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    do {
        if (tag >= number && !ahead_of_count(s, tag)) {
            return; // a newer write has the slot: this one is out of the history
        }
    } while (!__atomic_compare_exchange_n(&slot.tag, &tag, number, false, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST));
    if (store_while_held(&slot.time_ns, os::monotonic_ns(), &slot.tag, number)) {
        store_while_held(&slot.payload, payload_of(number, reg, value), &slot.tag, number);
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

void write(State *s, unsigned reg, uint8_t value)
{
    // Status lines are inputs: a write to them changes nothing, as on a port.
    if (reg >= register_count || reg == status) {
        return;
    }
    write_numbered(s, take_number(s), reg, value);
}

void set_status(State *s, uint8_t value)
{
    write_numbered(s, take_number(s), status, value | status_unused);
}

uint64_t take_number(State *s)
{
    return __atomic_fetch_add(&s->next_write, 1, __ATOMIC_ACQ_REL);
}

void write_numbered(State *s, uint64_t number, unsigned reg, uint8_t value)
{
    record(s, number, reg, value);
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
        record(s, number, reg, value);
        latch(s, number, reg, value);
    }
    __atomic_fetch_add(&s->changes, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->waiting, __ATOMIC_SEQ_CST) != 0) {
        __atomic_store_n(&s->waiting, 0, __ATOMIC_SEQ_CST);
        os::wake(&s->changes);
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
    mark.mark = hash | 1u;
    return mark;
}

// A plain load first: a store on every write would cost every writer the
// cache line's ownership. The name before the mark, so that a watcher that
// sees the mark finds its name.
void mark_device(State *s, const DeviceMark &mark)
{
    if (load(&s->device_mark) == mark.mark) {
        return;
    }
    static_assert(sizeof mark.name == device_name_size, "a mark's name fits the file's");
    for (size_t i = 0; i < device_name_size; ++i) {
        __atomic_store_n(&s->device[i], mark.name[i], __ATOMIC_RELAXED);
    }
    __atomic_store_n(&s->device_mark, mark.mark, __ATOMIC_RELEASE);
}

bool device(const State *s, char *name, size_t size)
{
    if (size == 0) {
        return false;
    }
    name[0] = '\0';
    // Two writers of other devices may cross: the name is read again while
    // its mark changes under it, and shown as it stands after a few tries.
    for (int tries = 0; tries < 3; ++tries) {
        const uint32_t mark = load(&s->device_mark);
        if (mark == 0) {
            return false;
        }
        size_t n = 0;
        for (; n + 1 < size && n < device_name_size; ++n) {
            const char c = __atomic_load_n(&s->device[n], __ATOMIC_RELAXED);
            if (c == '\0') {
                break;
            }
            // Whatever the file holds, nothing that moves a terminal's cursor.
            name[n] = static_cast<uint8_t>(c) < 0x20 || c == 0x7F ? '?' : c;
        }
        name[n] = '\0';
        if (load(&s->device_mark) == mark) {
            break;
        }
    }
    return name[0] != '\0';
}

} // namespace vport
