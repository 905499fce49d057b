// The virtual parallel port: each port's registers and its recent writes in
// a small state file that every process on the machine maps, so that a value
// written by one process is read by the next, as the latch on a real port.
//
// The layout is plain integers accessed with the compiler's atomic builtins,
// so that the port library needs no C++ runtime and lptmon shares the same
// definition.
#ifndef LPT_VPORT_H
#define LPT_VPORT_H

#include "os.h"
#include "state_file.h"

#include <stddef.h>
#include <stdint.h>

namespace vport {

const uint32_t file_magic = 0x4C505456; // "VTPL" read as little-endian
const uint32_t file_version = 2;
// Written over the magic by a program that made the file anew in another
// place, where the system would not let it cut the file (mapped elsewhere):
// the programs that still map this one follow.
const uint32_t retired_magic = 0x44525456; // "VTRD"
const uint32_t history_length = 1024;
// Write numbers beyond this are damage: the register word keeps the number
// in 56 bits, and no port is written this often in a machine's life.
const uint64_t write_limit = 1ull << 55;

enum Register : unsigned { data = 0, status = 1, control = 2, register_count = 3 };

// Status read while nothing drives the inputs: S3..S6 (nError, Select,
// PaperOut, nAck) pulled high, S7 reading 0 (the port inverts Busy), the
// unused S0..S2 reading 1.
const uint8_t status_idle = 0x7F;
// Control as a PC leaves it at start: nInit high, SelectIn asserted.
const uint8_t control_initial = 0x0C;

// One recorded write. The tag is the number of the write that claimed the
// slot; a slot is only ever claimed by a newer number, so a writer that
// stalled cannot overwrite newer history.
struct Slot {
    uint64_t tag;
    uint64_t time_ns; // monotonic, this boot
    // pid << 32 | (number >> 10 & 0xFFFF) << 16 | register << 8 | value:
    // the number's bits tell a record from one left by a stalled writer.
    uint64_t payload;
};

struct State {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t history_slots;
    uint32_t base;
    // Where the recorded writes went: 0 this virtual port; N + 1 the real
    // port parportN, whose writes the port library records here for lptmon.
    // Set with each write: the last writer's.
    uint32_t real_port;
    uint8_t boot_id[16]; // the boot that wrote it: a latch does not outlive power
    uint64_t generation; // new on every rebuild, so that watchers notice one
    // Each register as (number of the write that set it) << 8 | value; the
    // latest write by number wins, also between processes.
    uint64_t registers[register_count];
    uint64_t next_write; // writes are numbered from 1
    uint32_t changes;    // bumped on every write; a futex word
    // Set by a watcher before it sleeps on `changes`, cleared by the write
    // that wakes it: a watcher that dies leaves it set for one write only.
    uint32_t waiting;
    Slot history[history_length];
};

struct Write {
    uint64_t number;
    uint64_t time_ns;
    unsigned reg;
    uint8_t value;
    uint32_t pid;
};

// One mapped state file, or a port kept in this process only.
struct Port {
    State *state = nullptr;
    bool shared = false;   // false: kept in this process only
    bool writable = false; // a watcher may map it read-only
    state_file::Mapped file;
    uint64_t generation = 0;
    unsigned base = 0;
    char path[512] = "";
};

inline uint64_t load(const uint64_t *word)
{
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
inline uint32_t load(const uint32_t *word)
{
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

// The state file of the port with this base address. False when it does not
// fit in `size`.
bool state_path(unsigned base, char *path, size_t size);

// Maps the port's state file, creating or rebuilding it when it is missing,
// damaged, from an earlier boot, or not a plain file of ours. False with the
// reason in `why`.
bool open_shared(unsigned base, Port *port, char *why, size_t why_size);
// A port that lives in this process only. False when out of memory.
bool open_private(unsigned base, Port *port);
// The memory of private ports and of the library's own records; nullptr when
// out of memory. use_allocator(nullptr) goes back to calloc; tests replace it
// to run out of memory.
void *allocate(size_t size);
void release(void *memory);
void use_allocator(void *(*allocator)(size_t count, size_t size));

enum Found {
    found,
    never_written, // no state file, or one from an earlier boot
    unusable,      // why says why
};
// Maps an existing state file for a watcher; never creates or repairs it,
// and refuses the same folders and files as open_shared. Mapped writable
// where allowed, only so that the watcher can mark itself waiting.
Found open_existing(unsigned base, Port *port, char *why, size_t why_size);
void close(Port *port);

// Whether the mapped file shrank under us (its pages now read as zero), was
// replaced, removed, rebuilt or damaged since it was opened: the watcher
// should open it anew.
bool changed(const Port *port);
// Whether the mapping lost its file: the last access did not reach it, or
// the file was given up for a new one.
bool lost(const Port *port);
// Whether the file was given up for a new one.
bool retired(const Port *port);
// Sleeps until the port is written after `seen` (a value of `changes`), or
// `timeout_ms` passes, or a signal comes.
void wait_for_change(const Port *port, uint32_t seen, int timeout_ms);

void write(State *state, unsigned reg, uint8_t value);
// A write in its two steps, numbering then recording and latching; apart so
// that a writer stalled between them can be shown to do no harm.
uint64_t take_number(State *state);
void write_numbered(State *state, uint64_t number, unsigned reg, uint8_t value);
uint8_t read(const State *state, unsigned reg);
// Up to `max` of the most recent writes, oldest first; returns how many.
size_t recent_writes(const State *state, Write *out, size_t max);

// What a watcher asks of an open port.
inline uint8_t read(const Port *port, unsigned reg)
{
    return read(port->state, reg);
}
inline size_t recent_writes(const Port *port, Write *out, size_t max)
{
    return recent_writes(port->state, out, max);
}
// How many writes the port has had since its file was made.
inline uint64_t write_count(const Port *port)
{
    return load(&port->state->next_write) - 1;
}
// A number that changes with every write, for wait_for_change.
inline uint32_t changes(const Port *port)
{
    return load(&port->state->changes);
}
// Whether a mapped file still has the layout of this version and numbers
// that writers and readers can rely on.
bool valid(const State *state, unsigned base);

// The clock of the recorded times.
using os::monotonic_ns;

// A plain load first: a store on every write would cost every writer the
// cache line's ownership.
inline void set_real_port(State *state, uint32_t real_port)
{
    if (load(&state->real_port) != real_port) {
        __atomic_store_n(&state->real_port, real_port, __ATOMIC_RELEASE);
    }
}
inline uint32_t real_port(const State *state)
{
    return load(&state->real_port);
}
// The real port whose writes a watcher sees: N + 1 for parportN, 0 for the
// virtual port itself.
inline uint32_t real_port(const Port *port)
{
    return real_port(port->state);
}

} // namespace vport

#endif
