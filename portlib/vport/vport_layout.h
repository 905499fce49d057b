// The layout of a virtual port's state file: plain integers accessed with
// the compiler's atomic builtins, so that the port library needs no C++
// runtime. Only the virtual port's own code (and tests that damage a file
// on purpose) include this.
#ifndef LPT_VPORT_LAYOUT_H
#define LPT_VPORT_LAYOUT_H

#include "vport_record.h"
#include "vport_types.h"

#include <stddef.h>
#include <stdint.h>

namespace vport {

const uint32_t file_magic = 0x4C505456; // "VTPL" read as little-endian
const uint32_t file_version = 6;
// Written over the magic by a program that made the file anew in another
// place, where the system would not let it cut the file (mapped elsewhere):
// the programs that still map this one follow.
const uint32_t retired_magic = 0x44525456; // "VTRD"

// The status register's unused S0..S2, which read 1 whatever the watchers
// set on the inputs (status_at_start).
const uint8_t status_unused = 0x07;
static_assert((status_at_start & status_unused) == status_unused, "the unused bits read 1");

// One recorded write. The tag is the number of the write that claimed the
// slot; a slot is only ever claimed by a newer number, so a writer that
// stalled cannot overwrite newer history.
// The 64-bit words are aligned to 8 also in 32-bit x86 programs, which
// align them to 4 by themselves: 32-bit and 64-bit programs map one file.
struct alignas(8) Slot {
    uint64_t tag;
    uint64_t time_ns; // monotonic, this boot
    // The write, as record_word packs it (vport_record.h); while its writer
    // makes it, being_made's.
    uint64_t payload;
};

// Room for a device's name, with its final NUL.
const size_t device_name_size = 64;

// A device that the file's writes went to, named as lptmon shows it. The
// mark: vport_record.h's device mark, 0 while free.
struct DeviceName {
    uint32_t mark;
    char name[device_name_size];
};

struct State {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t history_slots;
    uint32_t base;
    // The hardware ports whose writes the port library records here for
    // lptmon: device number n is devices[n - 1].
    DeviceName devices[device_limit - 1];
    // The last write's device and its writer (device_word), 0 for the
    // virtual port's own. The inputs of a device are wires only
    // while its program runs.
    alignas(8) uint64_t last_device;
    // The pid of the watcher changing an input, 0 when none: one change
    // at a time, so that setters seldom make theirs again (each lands only
    // on the value it was made from).
    uint32_t status_setter;
    uint8_t boot_id[16];            // the boot that wrote it: a latch does not outlive power
    alignas(8) uint64_t generation; // new on every rebuild, so that watchers notice one
    // Each register as register_word packs the write that set it; the
    // latest write by number wins, also between processes.
    alignas(8) uint64_t registers[register_count];
    alignas(8) uint64_t next_write; // writes are numbered from 1
    uint32_t changes;               // bumped on every write; a futex word
    // Set by a watcher before it sleeps on `changes`, cleared by the write
    // that wakes it: a watcher that dies leaves it set for one write only.
    uint32_t waiting;
    // The port's claims, for programs that share it through a parallel
    // port device (vport_claim.h): the claim_word of the open holding the
    // port, and of the one that registered for it alone; 0 for none.
    uint64_t claim;
    uint64_t exclusive;
    uint32_t claim_tokens;  // the last token handed out
    uint32_t claim_waiters; // opens waiting for the port, for a holder that yields
    // Rising edges of nAck set by watchers: what interrupts the device.
    uint32_t nack_edges;
    // What the outside drives on the data lines, read while the port's
    // data direction is reversed; nothing drives them at first (0xFF).
    uint32_t data_input;
    Slot history[history_length];
};
// One size for every program that maps the file, 32-bit or 64-bit, Linux or
// Windows. A field added or moved changes it: then file_version changes
// too, so that older files are made anew instead of misread.
static_assert(file_version == 6 && sizeof(State) == 1574016,
              "a new layout of the file is a new file_version: change both here");

inline uint64_t load(const uint64_t *word)
{
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
inline uint32_t load(const uint32_t *word)
{
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

// Whether `word_number` was left by a write numbered before a rebuild: no
// write of the file's present count has that number yet.
inline bool ahead_of_count(const State *s, uint64_t word_number)
{
    return word_number >= load(&s->next_write);
}

// Whether a mapped file still has the layout of this version and numbers
// that writers and readers can rely on.
bool valid(const State *state, unsigned base);

} // namespace vport

#endif
