// The port's claims and interrupts, shared through its state file, so that
// two programs opening one parallel port device take turns as on a real
// port, and one that ends holding the port does not hold it for good.
#include "vport_claim.h"
#include "vport.h"
#include "vport_layout.h"

namespace vport {
namespace {

bool holder_ended(uint64_t holder)
{
    return holder != 0 && !os::process_alive(claim_pid(holder));
}

bool take(uint64_t *word, uint64_t who)
{
    uint64_t holder = load(word);
    while (holder != who) {
        if (holder != 0 && !holder_ended(holder)) {
            return false;
        }
        if (__atomic_compare_exchange_n(word, &holder, who, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            break;
        }
    }
    return true;
}

bool drop(uint64_t *word, uint64_t who)
{
    uint64_t held = who;
    return __atomic_compare_exchange_n(word, &held, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
}

} // namespace

uint64_t claimer(State *s)
{
    const uint32_t token = __atomic_add_fetch(&s->claim_tokens, 1, __ATOMIC_RELAXED);
    return claim_word(os::process_id(), token);
}

bool take_claim(State *s, uint64_t who)
{
    if (!take(&s->claim, who)) {
        return false;
    }
    poke(s);
    return true;
}

void drop_claim(State *s, uint64_t who)
{
    if (drop(&s->claim, who)) {
        poke(s);
    }
}

uint64_t claim_holder(const State *s)
{
    const uint64_t holder = load(&s->claim);
    return holder_ended(holder) ? 0 : holder;
}

void count_waiter(State *s, int change)
{
    uint32_t count = load(&s->claim_waiters);
    uint32_t next;
    do {
        // Never below 0: a file rebuilt meanwhile started it anew.
        next = change > 0 ? count + 1 : count > 0 ? count - 1 : 0;
    } while (!__atomic_compare_exchange_n(&s->claim_waiters, &count, next, true, __ATOMIC_ACQ_REL,
                                          __ATOMIC_ACQUIRE));
}

uint32_t claim_waiters(const State *s)
{
    return load(&s->claim_waiters);
}

uint64_t exclusive_holder(const State *s)
{
    const uint64_t holder = load(&s->exclusive);
    return holder_ended(holder) ? 0 : holder;
}

bool take_exclusive(State *s, uint64_t who)
{
    const uint64_t holder = claim_holder(s);
    return (holder == 0 || holder == who) && take(&s->exclusive, who);
}

void drop_exclusive(State *s, uint64_t who)
{
    drop(&s->exclusive, who);
}

uint32_t nack_edges(const State *s)
{
    return load(&s->nack_edges);
}

uint8_t data_input(const State *s)
{
    return static_cast<uint8_t>(load(&s->data_input));
}

void set_data_input(State *s, uint8_t value)
{
    __atomic_store_n(&s->data_input, value, __ATOMIC_RELEASE);
    poke(s);
}

DeviceMark emulated_device_mark(const char *name)
{
    DeviceMark mark = device_mark(name);
    if (mark.mark != 0) {
        mark.mark |= mark_emulated;
    }
    return mark;
}

bool device_emulated(const State *s, unsigned device)
{
    return device != 0 && device < device_limit &&
           mark_is_emulated(load(&s->devices[device - 1].mark));
}

void poke(State *s)
{
    __atomic_fetch_add(&s->changes, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->waiting, __ATOMIC_SEQ_CST) != 0) {
        __atomic_store_n(&s->waiting, 0, __ATOMIC_SEQ_CST);
        os::wake(&s->changes);
    }
}

void initialise_claims(State *s)
{
    __atomic_store_n(&s->claim, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->exclusive, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->claim_tokens, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->claim_waiters, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->nack_edges, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s->data_input, 0xFF, __ATOMIC_RELAXED);
}

} // namespace vport
