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
    // Its state file, of any length (nullptr for a port kept in this
    // process); its own memory, freed by close.
    char *path = nullptr;
    bool replaced_old_version = false; // open_shared made anew a file of an older version
    // The device number of the writes made through this port and the mark
    // it was claimed for, kept so that a write costs only a compare.
    unsigned device = 0;
    uint32_t device_mark = 0;
    // The process that holds its byte of the file as a device's writer
    // (hold_as_device_writer); another after a fork.
    uint32_t held_for = 0;
    // When a writer last checked that its file is still the one at `path`
    // (os::coarse_ms).
    uint64_t checked_ms = 0;
};

// The state file of the port with this base address, in memory of its own
// (free it); nullptr where there is no folder for it, or no memory.
char *state_path(unsigned base);
// The same in `path`; false when it does not fit in `size`.
bool state_path(unsigned base, char *path, size_t size);

// Maps the port's state file, creating or rebuilding it when it is missing,
// damaged, from an earlier boot, or not a plain file of ours. False with the
// reason in `why`.
bool open_shared(unsigned base, Port *port, char *why, size_t why_size);
// A port that lives in this process only. False when out of memory.
bool open_private(unsigned base, Port *port);

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
// Whether the file at the port's path is no longer the one mapped (removed,
// or another put in its place); looked at no more than once a second, as
// it asks the system. False for a port kept in this process.
bool moved_off(Port *port);
// Sleeps until the port is written after `seen` (a value of `changes`), or
// `timeout_ms` passes, or a signal comes.
void wait_for_change(const Port *port, uint32_t seen, int timeout_ms);

// `device`: the number of the device the write went to (device_number),
// 0 for the virtual port's own. `pid`: the process the write is recorded
// as made by, when one process writes for another (0: this one).
void write(State *state, unsigned reg, uint8_t value, unsigned device = 0, uint32_t pid = 0);
// A watcher's setting of the input lines: numbered, latched and recorded as
// a write to the status register, so that traces show it. Programs cannot
// write that register.
void set_status(State *state, uint8_t value);
// Sets or clears bits of the input lines as one step against other
// watchers changing others at the same time, also one that stalled in its
// change: a change lands only on the value it was made from.
void set_status_bit(State *state, uint8_t bit, bool set);
// A write is made in steps, as its writer may be preempted, stopped or
// killed between any two while other processes write on: take_number
// numbers it; write_numbered claims its slot (claim_slot: named as this
// process's, or process `pid`'s, unless a newer write has it: false), then
// latches the register and completes the record. Declared apart so that a
// writer stopped after each step can be made at will and shown to lose and
// hold up nothing; internal to the library, none is exported.
uint64_t take_number(State *state);
bool claim_slot(State *state, uint64_t number, unsigned reg = data, unsigned device = 0,
                uint32_t pid = 0);
void write_numbered(State *state, uint64_t number, unsigned reg, uint8_t value, unsigned device = 0,
                    uint32_t pid = 0);
uint8_t read(const State *state, unsigned reg);
// Up to `max` of the most recent writes, oldest first; returns how many.
size_t recent_writes(const State *state, Write *out, size_t max);
// Up to `max` writes numbered after `after`, oldest first, stopping before
// a write still being made; returns how many. *missed: how many writes
// after `after` and before those are not kept (overwritten by newer ones,
// or lost with a writer that died making them). `awaited`: the watcher's
// own, kept between calls, so that a write whose writer died before naming
// itself is given up after a second of its looks.
struct Awaited {
    uint64_t number = 0;   // a write being made with no writer named in it
    uint64_t since_ns = 0; // when this watcher first found it so
};
size_t writes_after(const State *state, uint64_t after, Write *out, size_t max, uint64_t *missed,
                    Awaited *awaited = nullptr);
uint64_t write_count(const State *state);
uint32_t changes(const State *state);

// Which device the writes went to, as lptmon names it ("/dev/parport0"),
// or none for the virtual port's own.
struct DeviceMark {
    uint32_t mark; // 0: the virtual port's own
    char name[64];
};
DeviceMark device_mark(const char *name); // nullptr or "": none
// The device's number in the port's file, its name kept there the first
// time; 0 for the virtual port's own. A write costs only a compare while
// the device stays the same.
unsigned device_number(Port *port, const DeviceMark &mark);
// Marks this process, while it has the port's file open, as one that
// records a device's writes, for device_writer_runs.
void hold_as_device_writer(Port *port);
// Whether process `pid`, that made a device's last write (last_device),
// still has the port's file open. Its id alone does not tell: another
// process may have it by now, or it may be of another pid namespace.
bool device_writer_runs(const Port *port, uint32_t pid);
// Marks the port as showing the writes of device number `device` from this
// process (or process `pid`), before its write.
void mark_device(State *state, unsigned device, uint32_t pid = 0);
// The name of device number `device`; false for the virtual port's own
// (0) or a number that names nothing.
bool device_name(const State *state, unsigned device, char *name, size_t size);
// The last write's device (0: the virtual port's own) and the process that
// made it.
unsigned last_device(const State *state, uint32_t *pid);

} // namespace vport

#endif
