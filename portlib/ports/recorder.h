// The record of a real port's writes that lptmon reads: a wrapper around a
// port that drives hardware, writing each value to the hardware, then to
// the virtual port for the same address, marked with the device.
#ifndef LPT_RECORDER_H
#define LPT_RECORDER_H

#include "backend.h"
#include "vport.h"

namespace ports {

// Wraps the port so that its writes are recorded. Without the record the
// port works all the same: that is said, and the port is left unwrapped.
void record_writes(unsigned base, const Backend **backend, void **port);

} // namespace ports

#endif
