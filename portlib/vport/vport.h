// The virtual parallel port: each port's registers and its recent writes in
// a small state file that every process on the machine maps, so that a value
// written by one process is read by the next, as the latch on a real port.
// This is what the port library uses; watchers use watch.h.
#ifndef LPT_VPORT_H
#define LPT_VPORT_H

#include "os.h"
#include "vport_state_file.h"
#include "vport_types.h"

#include <stddef.h>
#include <stdint.h>

namespace vport {

struct State; // vport_layout.h

// One mapped state file, or a port kept in this process only.
struct Port {
    State *state = nullptr;
    bool shared = false;   // false: kept in this process only
    bool writable = false; // a watcher may map it read-only
    state_file::Mapped file;
    uint64_t generation = 0;
    unsigned base = 0;
    char path[512] = "";
    bool replaced_old_version = false; // open_shared made anew a file of an older version
};

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

// Maps an existing state file for a watcher; never creates or repairs it,
// and refuses the same folders and files as open_shared. Mapped writable
// where allowed, only so that the watcher can mark itself waiting.
Opened open_existing(unsigned base, Port *port, char *why, size_t why_size);
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
// A watcher's setting of the input lines: numbered, latched and recorded as
// a write to the status register, so that traces show it. Programs cannot
// write that register.
void set_status(State *state, uint8_t value);
// A write in its two steps, numbering then recording and latching; apart so
// that a writer stalled between them can be shown to do no harm.
uint64_t take_number(State *state);
void write_numbered(State *state, uint64_t number, unsigned reg, uint8_t value);
uint8_t read(const State *state, unsigned reg);
// Up to `max` of the most recent writes, oldest first; returns how many.
size_t recent_writes(const State *state, Write *out, size_t max);
uint64_t write_count(const State *state);
uint32_t changes(const State *state);

// Which device the writes went to, as lptmon names it ("/dev/parport0"),
// or none for the virtual port's own. Marked with each write, before it:
// the last writer's. A mark is made once per port, so that a write costs
// only a compare while the device stays the same.
struct DeviceMark {
    uint32_t mark; // 0: the virtual port's own
    char name[64];
};
DeviceMark device_mark(const char *name); // nullptr or "": none
void mark_device(State *state, const DeviceMark &mark);
// False for the virtual port's own writes.
bool device(const State *state, char *name, size_t size);

} // namespace vport

#endif
