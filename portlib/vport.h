// The virtual parallel port: each port's registers and its recent writes in
// a small state file that every process on the machine maps, so that a value
// written by one process is read by the next, as the latch on a real port.
#ifndef LPT_VPORT_H
#define LPT_VPORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vport {

const uint32_t file_magic = 0x4C505456; // "VTPL" read as little-endian
const uint32_t file_version = 1;
const uint32_t history_length = 1024;

enum Register : unsigned { data = 0, status = 1, control = 2, register_count = 3 };

// Status read while nothing drives the inputs: S3..S6 (nError, Select,
// PaperOut, nAck) pulled high, S7 reading 0 (the port inverts Busy), the
// unused S0..S2 reading 1.
const uint8_t status_idle = 0x7F;
// Control as a PC leaves it at start: nInit high, SelectIn asserted.
const uint8_t control_initial = 0x0C;

// One recorded write. The tag is its write number once complete, 0 while it
// is being written, so a reader never takes a torn record.
struct Slot {
    std::atomic<uint64_t> tag;
    std::atomic<uint64_t> time_ns; // CLOCK_MONOTONIC
    std::atomic<uint64_t> payload; // pid << 32 | register << 8 | value
};

struct State {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t history_slots;
    uint32_t base;
    uint32_t reserved;
    // Each register as (number of the write that set it) << 8 | value; the
    // latest write by number wins, also between processes.
    std::atomic<uint64_t> registers[register_count];
    std::atomic<uint64_t> next_write; // writes are numbered from 1
    std::atomic<uint32_t> changes;    // bumped on every write; a futex word
    std::atomic<uint32_t> watchers;   // processes waiting on `changes`
    Slot history[vport::history_length];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared atomics must be lock-free");

struct Write {
    uint64_t number;
    uint64_t time_ns;
    unsigned reg;
    uint8_t value;
    uint32_t pid;
};

struct Port {
    State *state = nullptr;
    int fd = -1;
    bool shared = false; // false: kept in this process only
    bool writable = false;
};

// The folder of the state files: LPT_VIRTUAL_DIR, else lpt-virtual under
// XDG_RUNTIME_DIR, else /tmp/lpt-virtual-UID.
std::string directory();
// The state file of the port with this base address, inside directory().
std::string file_name(unsigned base);

// Maps the port's state file, creating or rebuilding it when it is missing,
// corrupt, truncated or not ours. False with the reason in *why.
bool open_shared(unsigned base, Port *port, std::string *why);
// A port that lives in this process only.
bool open_private(unsigned base, Port *port);
// Maps an existing state file for a watcher; never creates or repairs it.
// With `watch`, mapped writable where allowed, only so that the watcher can
// count itself in `watchers`. False with the reason in *why.
bool open_existing(unsigned base, Port *port, std::string *why, bool watch = false);
void close(Port *port);

void write(State *state, unsigned reg, uint8_t value);
uint8_t read(const State *state, unsigned reg);
// Up to `max` of the most recent writes, oldest first; returns how many.
size_t recent_writes(const State *state, Write *out, size_t max);
// Whether a mapped file still has the layout of this version.
bool valid(const State *state, unsigned base);

uint64_t monotonic_ns();

} // namespace vport

#endif
