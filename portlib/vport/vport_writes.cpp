// A port's writes and reads: numbered, latched and recorded so that
// concurrent writers lose nothing, and a stalled one overwrites nothing.
#include "vport.h"
#include "vport_layout.h"

namespace vport {
namespace {

// `pid` 0 is this process; a server that writes for a program names it.
uint32_t writer(uint32_t pid)
{
    return pid != 0 ? pid : os::process_id();
}

uint64_t payload_of(uint64_t number, unsigned reg, uint8_t value, unsigned device, uint32_t pid)
{
    return record_word(writer(pid), check_bits(number), device, reg, value);
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

// Completes the record of write `number`, unless a newer write has its slot.
void record(State *s, uint64_t number, uint64_t payload)
{
    Slot &slot = s->history[number % history_length];
    store_while_held(&slot.payload, payload, &slot.tag, number);
}

// The latest write by number wins; a word left ahead of the count by a
// rebuild is no write of this file's and loses to any. The value is
// `next` of the word it replaces. False when a newer write holds it.
template <typename Next>
bool latch(State *s, uint64_t number, unsigned reg, Next next, uint8_t *value)
{
    uint64_t current = __atomic_load_n(&s->registers[reg], __ATOMIC_ACQUIRE);
    for (;;) {
        const uint64_t set_by = register_number(current);
        if (set_by >= number && !ahead_of_count(s, set_by)) {
            return false;
        }
        *value = next(current);
        if (__atomic_compare_exchange_n(&s->registers[reg], &current, register_word(number, *value),
                                        true, __ATOMIC_RELEASE, __ATOMIC_ACQUIRE)) {
            return true;
        }
    }
}

// Write `number`: named in its slot, timed, latched, then recorded. The
// latch comes first so that a writer killed between the two leaves no write
// shown that the port does not hold. False, the record left unmade, when a
// newer write holds the register.
template <typename Next>
bool attempt(State *s, uint64_t number, unsigned reg, unsigned device, uint32_t pid, Next next,
             uint8_t *value)
{
    Slot &slot = s->history[number % history_length];
    if (claim_slot(s, number, reg, device, pid)) {
        store_while_held(&slot.time_ns, os::monotonic_ns(), &slot.tag, number);
    }
    if (!latch(s, number, reg, next, value)) {
        return false;
    }
    record(s, number, payload_of(number, reg, *value, device, pid));
    return true;
}

// Another program rebuilt the file between numbering and latching, and its
// count started anew below this number: the record is taken back and the
// write made again with a number of the new count, so that the next writes
// are not hidden behind it.
void take_back(State *s, uint64_t number)
{
    uint64_t held = number;
    __atomic_compare_exchange_n(&s->history[number % history_length].tag, &held, 0, false,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

void announce(State *s)
{
    __atomic_fetch_add(&s->changes, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->waiting, __ATOMIC_SEQ_CST) != 0) {
        __atomic_store_n(&s->waiting, 0, __ATOMIC_SEQ_CST);
        os::wake(&s->changes);
    }
}

} // namespace

bool claim_slot(State *s, uint64_t number, unsigned reg, unsigned device, uint32_t pid)
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
    return store_while_held(&slot.payload, being_made(number, reg, device, writer(pid)), &slot.tag,
                            number);
}

void write(State *s, unsigned reg, uint8_t value, unsigned device, uint32_t pid)
{
    // Status lines are inputs: a write to them changes nothing, as on a port.
    if (reg >= register_count || reg == status) {
        return;
    }
    write_numbered(s, take_number(s), reg, value, device, pid);
}

// A rising nAck interrupts the program holding a parallel port device;
// counted before the write that makes it wakes that program.
static void count_nack_edge(State *s, uint8_t before, uint8_t after)
{
    if ((before & 0x40) == 0 && (after & 0x40) != 0) {
        __atomic_fetch_add(&s->nack_edges, 1, __ATOMIC_SEQ_CST);
    }
}

void set_status(State *s, uint8_t value)
{
    count_nack_edge(s, read(s, status), value);
    write_numbered(s, take_number(s), status, value | status_unused);
}

uint64_t take_number(State *s)
{
    return __atomic_fetch_add(&s->next_write, 1, __ATOMIC_ACQ_REL);
}

void write_numbered(State *s, uint64_t number, unsigned reg, uint8_t value, unsigned device,
                    uint32_t pid)
{
    const auto same = [value](uint64_t) { return value; };
    uint8_t latched = value;
    // A newer write holds the register (this writer stalled): this one came
    // before it, and is recorded so.
    if (!attempt(s, number, reg, device, pid, same, &latched)) {
        record(s, number, payload_of(number, reg, value, device, pid));
    }
    // Bounded: a file rebuilt on every try keeps the last one.
    for (int tries = 0; tries < 3 && ahead_of_count(s, number); ++tries) {
        take_back(s, number);
        number = take_number(s);
        if (!attempt(s, number, reg, device, pid, same, &latched)) {
            record(s, number, payload_of(number, reg, value, device, pid));
        }
    }
    announce(s);
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
    // The lock only spares the retries: the change lands on the very word it
    // was made from, so that a holder that stalled past its takeover never
    // puts back the value it read before the next one's change.
    uint8_t before = 0;
    const auto change = [&before, set, bit](uint64_t word) {
        before = register_value(word);
        return static_cast<uint8_t>(set ? before | bit : before & ~bit);
    };
    uint8_t value = 0;
    for (int rebuilt = 0; rebuilt < 3;) {
        const uint64_t number = take_number(s);
        if (!attempt(s, number, status, 0, 0, change, &value)) {
            // A newer write got there first: this number carries no write,
            // and the change is made again on what that one left.
            record(s, number, payload_of(number, no_write, 0, 0, 0));
        } else if (ahead_of_count(s, number)) {
            take_back(s, number);
            ++rebuilt;
        } else {
            count_nack_edge(s, before, value);
            break;
        }
    }
    announce(s);
    uint32_t mine = me;
    __atomic_compare_exchange_n(&s->status_setter, &mine, 0, false, __ATOMIC_RELEASE,
                                __ATOMIC_RELAXED);
}

uint8_t read(const State *s, unsigned reg)
{
    if (reg >= register_count) {
        return 0xFF; // no register there: the bus floats high
    }
    return register_value(load(&s->registers[reg]));
}

} // namespace vport
