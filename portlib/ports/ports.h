// The ports a program has used, each opened on first use through the first
// backend that has it.
#ifndef LPT_PORTS_H
#define LPT_PORTS_H

#include <stdint.h>

namespace ports {

// A port address is base + register: base is data, base+1 status, base+2
// control; the base is the address with its two low bits cleared. `caller`:
// the code the call came from, as the export saw it.
uint8_t read_port(uint16_t address, const void *caller = nullptr);
void write_port(uint16_t address, uint8_t value, const void *caller = nullptr);
// As the library is unloaded: releases every port (the next access opens
// it anew) unless another thread is inside the library.
void unload();

} // namespace ports

#endif
