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

// A write to a port opened by virtual_backend, marked as made on `device`
// (the virtual port's own writes carry an empty mark).
namespace vport {
struct DeviceMark;
}
void lpt_write_marked(void *port, unsigned reg, uint8_t value, const vport::DeviceMark &device);

#endif
