// What a parallel port device needs of the port beyond its registers,
// shared by every process that serves one (lptrun in each program, lptdev
// for its clients): who holds the port, the nAck edges that interrupt its
// holder, and the data lines as the outside drives them.
#ifndef LPT_VPORT_CLAIM_H
#define LPT_VPORT_CLAIM_H

#include "vport.h"
#include "vport_record.h"

#include <stdint.h>

namespace vport {

struct State;

// A claimer, as claim_word packs it: the process serving the open, whose end
// lets go of its claim, and a token that tells one open from another.
uint64_t claimer(State *state);
// Takes the port for `who` when free, or when its holder's process has
// ended; true when `who` holds it now.
bool take_claim(State *state, uint64_t who);
// Lets go of the port if `who` holds it, and wakes the waiting.
void drop_claim(State *state, uint64_t who);
uint64_t claim_holder(const State *state);
// How many opens wait for the port (+1 as one starts, -1 as it stops), so
// that a holder that yields lets go only when someone waits.
void count_waiter(State *state, int change);
uint32_t claim_waiters(const State *state);
// The one open that registered for the port alone, if its process runs: 0
// when none. `who` registers so when the port has no other holder.
uint64_t exclusive_holder(const State *state);
bool take_exclusive(State *state, uint64_t who);
void drop_exclusive(State *state, uint64_t who);

// How many rising nAck edges watchers have set on the port.
uint32_t nack_edges(const State *state);
// The data lines as the outside drives them.
uint8_t data_input(const State *state);
void set_data_input(State *state, uint8_t value);

// A device served over the virtual port (a parallel port device, an
// emulated I/O port), whose inputs watchers set as for the port's own,
// unlike a hardware port's, which are wires.
DeviceMark emulated_device_mark(const char *name);
bool device_emulated(const State *state, unsigned device);

// Wakes those waiting on the port's changes, with no write.
void poke(State *state);
void initialise_claims(State *state);

} // namespace vport

#endif
