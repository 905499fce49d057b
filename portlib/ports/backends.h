// The entries of the table of ports, tried in this order: this build's real
// port, the virtual port shared by every program of the user, and, always
// opening, registers kept in this program only.
#ifndef LPT_BACKENDS_H
#define LPT_BACKENDS_H

#include "backend.h"

namespace vport {
struct DeviceMark;
}

namespace ports {

// One real port per build, defined in that platform's folder: ppdev on
// Linux, the hardware's own port I/O library on Windows. The table knows it
// by this name alone, not by its place.
extern const Backend real_backend;
extern const Backend virtual_backend;
extern const Backend memory_backend;

// A write to a port opened by virtual_backend, marked as made on `device`
// (the virtual port's own writes carry an empty mark).
void write_marked(void *port, unsigned reg, uint8_t value, const vport::DeviceMark &device);

} // namespace ports

#endif
