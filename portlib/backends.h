// The entries of the table of ports, tried in this order: a real port
// (through ppdev on Linux, through the hardware's own library on Windows), the
// virtual port shared by every program of the user, and, always opening,
// registers kept in this program only.
#ifndef LPT_BACKENDS_H
#define LPT_BACKENDS_H

#include "backend.h"

extern const lpt_backend ppdev_backend;    // Linux
extern const lpt_backend hardware_backend; // Windows: the hardware's own library
extern const lpt_backend virtual_backend;
extern const lpt_backend memory_backend;

// A port that drives hardware, wrapped so that each of its writes is also
// recorded in the virtual port's state file for its address, marked with
// the device, where lptmon shows it. Without the record the port works all
// the same: that is said, and the port is left unwrapped.
void lpt_record_writes(unsigned base, const lpt_backend **backend, void **port);

#endif
