// What watchers read of a port's recent writes: each one whole, in order,
// once; those not kept counted, and none waited for whose writer is gone.
#include "vport.h"
#include "vport_layout.h"

namespace vport {
namespace {

enum Look { whole, pending, overwritten, passed_over };

// The record of write `number`, if its slot holds it whole.
Look look(const State *s, uint64_t number, Write *out)
{
    const Slot &slot = s->history[number % history_length];
    // Payload before time: a payload with this number's bits was stored
    // after the time; the tag read last tells that no newer writer came.
    const uint64_t before = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    const uint64_t payload = __atomic_load_n(&slot.payload, __ATOMIC_SEQ_CST);
    // A write latched and not yet recorded (its writer may have died there)
    // is told from its register while that holds it; read before the time,
    // which was stored before the latch.
    const bool making_it = made_for(payload, number);
    const unsigned made_reg = record_value(payload);
    const uint64_t word =
        making_it && made_reg < register_count ? load(&s->registers[made_reg]) : 0;
    const uint64_t time_ns = __atomic_load_n(&slot.time_ns, __ATOMIC_SEQ_CST);
    const uint64_t after = __atomic_load_n(&slot.tag, __ATOMIC_SEQ_CST);
    if (after > number && !ahead_of_count(s, after)) {
        return overwritten;
    }
    // A payload with no process is a new file's zeros, whose check bits
    // match the first 65536 numbers: a claimed slot not yet written in.
    if (before != number || after != number || record_pid(payload) == 0) {
        return pending; // not yet claimed or being written, or lost with its writer
    }
    unsigned reg = record_register(payload);
    uint8_t value = record_value(payload);
    if (making_it && register_number(word) == number) {
        reg = made_reg;
        value = register_value(word);
    } else if (record_check(payload) != check_bits(number)) {
        return pending;
    } else if (reg == no_write) {
        return passed_over;
    }
    *out = Write{number, time_ns, reg, value, record_pid(payload), record_device(payload)};
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
    if (made_for(payload, number)) {
        if (!os::process_alive(record_pid(payload))) {
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
        if (found == passed_over) {
            continue; // no write: neither told nor missed
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

} // namespace vport
