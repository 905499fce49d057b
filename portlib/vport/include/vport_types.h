// The virtual port's vocabulary, shared by the port library and by watchers
// (watch.h): the registers, a recorded write, the registers' values at
// start, and what opening a port's state can give.
#ifndef LPT_VPORT_TYPES_H
#define LPT_VPORT_TYPES_H

#include <stddef.h>
#include <stdint.h>

namespace vport {

enum Register : unsigned { data = 0, status = 1, control = 2, register_count = 3 };

// How many of the latest writes a port keeps: 65 ms of writes at a real
// port's top speed (about 1 M writes/s), for a watcher that looks late. A
// power of two that the records' check bits are held to (vport_record.h).
const size_t history_length = 65536;

// Devices are numbered in each state file from 1 up to below this; 0 is the
// virtual port itself. Held to the records' device field (vport_record.h).
const unsigned device_limit = 16;

struct Write {
    uint64_t number;  // writes are numbered from 1 in each state file
    uint64_t time_ns; // monotonic, this boot
    unsigned reg;
    uint8_t value;
    uint32_t pid;
    unsigned device = 0; // where it went: 0 the virtual port, else a device's number
};

// The control register as a PC leaves it at start: nInit high, SelectIn
// asserted.
const uint8_t control_at_start = 0x0C;
// The status register with every input pin high (Busy reads 0) and the
// unused bits reading 1.
const uint8_t status_at_start = 0x7F;

enum Opened {
    opened,
    absent,  // no state file: no program has used the port this boot
    refused, // why says why, in the port library's own words
    // Of another size, and mapped by another program where the system then
    // will not cut it: mapped, for its contents to be marked as given up
    // (the state file's own open only).
    stuck,
};

} // namespace vport

#endif
