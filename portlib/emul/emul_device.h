// The device's own: the mapped port, the name of its writes, and the steps
// every request shares.
#ifndef LPT_EMUL_DEVICE_H
#define LPT_EMUL_DEVICE_H

#include "emul.h"
#include "os.h"
#include "vport.h"

namespace emul {

struct Device {
    vport::Port port;
    vport::DeviceMark mark;
    // Requests on one device from several threads take turns, as the
    // kernel's do: the port's device number is cached here.
    os::Mutex mutex;
};

// Open::flags
enum : unsigned {
    claimed = 1,
    asked_exclusive = 2, // PPEXCL before the first claim
    registered = 4,      // claimed once: PPEXCL is too late
    exclusive = 8,       // registered for the port alone
    yielding = 16,
    waiting_claim = 32, // counted among the port's waiters
};

inline vport::State *state(const Open *o)
{
    return o->device->port.state;
}
// This open's claimer: the serving process and the open's token.
uint64_t who(const Open *o);
uint8_t get(const Open *o, unsigned reg);
// A write recorded as the open's process's, through the device.
void put(Open *o, unsigned reg, uint8_t value);
// Takes in the nAck edges since the last look: interrupts while the open
// holds the port with interrupts enabled, answered as PPWCTLONIRQ asked.
void catch_up(Open *o);

} // namespace emul

#endif
