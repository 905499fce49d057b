// What a watcher (lptmon, a test, a benchmark) may ask of a port: open a
// port that programs have used, its registers and recent writes, whether it
// changed or was lost under the watcher, a wait for the next write, and
// which device the writes went to; and, the one thing it may change, the
// input pins. How the port keeps all that is the virtual port's own
// business.
#ifndef LPT_WATCH_H
#define LPT_WATCH_H

#include "vport_types.h"

#include <stddef.h>
#include <stdint.h>

namespace watch {

using vport::control;
using vport::data;
using vport::history_length;
using vport::Register;
using vport::register_count;
using vport::status;
using vport::Write;

struct Port;

// opened, absent (no program has used the port this boot) or refused.
using vport::absent;
using vport::Opened;
using vport::opened;
using vport::refused;
// Opens the port at `base` as programs left it; never creates or repairs
// anything, and refuses the same folders and files the port library does.
Opened open(unsigned base, Port **port, char *why, size_t why_size);
void close(Port *port);

uint8_t read(const Port *port, unsigned reg);
// Up to `max` of the most recent writes, oldest first; returns how many.
size_t recent_writes(const Port *port, Write *out, size_t max);
// How many writes the port has had since it was opened by a program; the
// writes are numbered from 1 to that.
uint64_t write_count(const Port *port);
// Every write after write number `after`, oldest first, up to `max` a call:
// returns how many, and in *missed how many writes after `after` came
// before them and are not kept (overwritten by newer ones while nobody
// looked, or lost with a writer that died making them). Stops before a
// write still being made, which the next call returns; one whose writer
// died making it is counted at once, or within a second of calls. To
// follow a port, call it again with the last number returned, or with
// `after` + *missed when none was. `after` 0: from the port's first write;
// write_count(): from now on.
size_t writes_after(const Port *port, uint64_t after, Write *out, size_t max, uint64_t *missed);
// A number that changes with every write, for wait_for_write.
uint32_t changes(const Port *port);
// Sleeps until the port is written after `seen` (a value of changes()), or
// `timeout_ms` passes, or a signal comes.
void wait_for_write(const Port *port, uint32_t seen, int timeout_ms);
// The port was rebuilt, replaced, removed or damaged since it was opened:
// what it shows now is no longer the port's; open it anew.
bool changed(const Port *port);
// The last look did not reach the port's state at all.
bool lost(const Port *port);

// The hardware port of the port's last write, by the name lptmon gives
// it: "/dev/parport0", "0x378 through their.dll". False for the virtual
// port's own writes, also those of a device served over it (lptrun's).
bool device(const Port *port, char *name, size_t size);
// Whether a write's device is served over the virtual port ("/dev/parport0
// (lptrun)"), whose inputs are the watchers' to set, rather than hardware.
bool device_emulated(const Port *port, unsigned device);
// The name of a write's own device (Write::device, from 1 to below
// device_limit); false for 0, the virtual port's own writes, and for a
// number that names no device in this port's file.
using vport::device_limit;
bool device_name(const Port *port, unsigned device, char *name, size_t size);

// The port's pins, as on its DB-25 socket: the control outputs with the
// register bits the port inverts, and the status inputs, which a watcher
// sets as a switch from the pin to ground would (a closed switch pulls the
// pin low; the port inverts Busy, so a low Busy reads as bit 7 set).
struct Pin {
    int pin;          // on the DB-25
    unsigned bit;     // in its register
    const char *line; // its name
    bool inverted;    // the register bit is the pin's level inverted
};
const size_t control_pin_count = 4, input_pin_count = 5;
using vport::control_at_start;
using vport::status_at_start;
extern const Pin control_pins[control_pin_count];
extern const Pin input_pins[input_pin_count];
// The pin's level in its register's value.
bool pin_high(const Pin &pin, uint8_t value);
// The input at DB-25 pin `pin`, or nullptr.
const Pin *input_at(int pin);
// Opens the port to set its inputs: a port never written gets its state
// file, as a program's first write would make it.
Opened open_to_set(unsigned base, Port **port, char *why, size_t why_size);
// Sets an input pin's level, leaving the others as they are also when
// other watchers set theirs at the same time. False with `why` where the
// inputs are not ours to set (a real port's, while the program that writes
// it runs, are wires) or the state file is read-only for us.
bool set_input(Port *port, const Pin &input, bool high, char *why, size_t why_size);

// Where the port's state is kept, for messages.
const char *file(const Port *port);
// The same for a port not opened. False when it does not fit in `size`.
bool state_path(unsigned base, char *path, size_t size);

} // namespace watch

// The clock of the writes' times: the very one the port library records
// with, declared here because watchers see nothing else of the layer that
// keeps it. A declaration that drifted from that layer's fails to build in
// vport_watch.cpp, which sees both.
namespace os {
uint64_t monotonic_ns();
} // namespace os
namespace watch {
using os::monotonic_ns;
} // namespace watch

#endif
