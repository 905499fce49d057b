// The watcher's view of a port: a look at the virtual port's state file,
// which changes nothing but the inputs.
#include "watch.h"
#include "vport.h"
#include "vport_claim.h"

#include <stdio.h>
#include <stdlib.h>

namespace watch {

struct Port {
    vport::Port port;
    mutable vport::Awaited awaited; // the watcher's own memory, not the port's
};

const Pin control_pins[control_pin_count] = {{1, 0, "nStrobe", true},
                                             {14, 1, "nAutoFd", true},
                                             {16, 2, "nInit", false},
                                             {17, 3, "nSelectIn", true}};
const Pin input_pins[input_pin_count] = {{15, 3, "nError", false},
                                         {13, 4, "Select", false},
                                         {12, 5, "PaperOut", false},
                                         {10, 6, "nAck", false},
                                         {11, 7, "Busy", true}};

bool pin_high(const Pin &pin, uint8_t value)
{
    return ((value >> pin.bit & 1) != 0) != pin.inverted;
}

const Pin *input_at(int pin)
{
    for (const Pin &input : input_pins) {
        if (input.pin == pin) {
            return &input;
        }
    }
    return nullptr;
}

// A watcher's port, opened by `open_port` into its own memory.
template <typename Open> Opened open_with(Port **port, char *why, size_t why_size, Open open_port)
{
    *port = static_cast<Port *>(calloc(1, sizeof(Port)));
    if (*port == nullptr) {
        snprintf(why, why_size, "out of memory");
        return refused;
    }
    const Opened result = open_port(&(*port)->port);
    if (result != opened) {
        free(*port);
        *port = nullptr;
    }
    return result;
}

Opened open_to_set(unsigned base, Port **port, char *why, size_t why_size)
{
    return open_with(port, why, why_size, [&](vport::Port *shared) {
        return vport::open_shared(base, shared, why, why_size) ? opened : refused;
    });
}

bool set_input(Port *port, const Pin &input, bool high, char *why, size_t why_size)
{
    vport::State *state = port->port.state;
    char name[128];
    // The real port's program ended: nothing drives the lines any more. Its
    // id may be ours by now (Windows soon hands out an ended process's id
    // again), and a watcher drives no real port.
    uint32_t pid = 0;
    const unsigned device = vport::last_device(state, &pid);
    if (vport::device_name(state, device, name, sizeof name) && pid != os::process_id() &&
        vport::device_writer_runs(&port->port, pid) && !vport::device_emulated(state, device)) {
        snprintf(why, why_size,
                 "port 0x%03X is the real port %s: its inputs are wires, not ours to set",
                 port->port.base, name);
        return false;
    }
    if (!port->port.writable) {
        snprintf(why, why_size, "cannot set the inputs: %s is read-only for you", port->port.path);
        return false;
    }
    vport::set_status_bit(state, static_cast<uint8_t>(1u << input.bit), high != input.inverted);
    return true;
}

Opened open(unsigned base, Port **port, char *why, size_t why_size)
{
    return open_with(port, why, why_size, [&](vport::Port *existing) {
        return vport::open_existing(base, existing, why, why_size);
    });
}

void close(Port *port)
{
    if (port != nullptr) {
        vport::close(&port->port);
        free(port);
    }
}

uint8_t read(const Port *port, unsigned reg)
{
    return vport::read(port->port.state, reg);
}

size_t recent_writes(const Port *port, Write *out, size_t max)
{
    return vport::recent_writes(port->port.state, out, max);
}

uint64_t write_count(const Port *port)
{
    return vport::write_count(port->port.state);
}

uint32_t changes(const Port *port)
{
    return vport::changes(port->port.state);
}

void wait_for_write(const Port *port, uint32_t seen, int timeout_ms)
{
    vport::wait_for_change(&port->port, seen, timeout_ms);
}

bool changed(const Port *port)
{
    return vport::changed(&port->port);
}

bool lost(const Port *port)
{
    return vport::lost(&port->port);
}

size_t writes_after(const Port *port, uint64_t after, Write *out, size_t max, uint64_t *missed)
{
    return vport::writes_after(port->port.state, after, out, max, missed, &port->awaited);
}

bool device(const Port *port, char *name, size_t size)
{
    uint32_t pid = 0;
    const unsigned last = vport::last_device(port->port.state, &pid);
    return !vport::device_emulated(port->port.state, last) &&
           vport::device_name(port->port.state, last, name, size);
}

bool device_emulated(const Port *port, unsigned device)
{
    return vport::device_emulated(port->port.state, device);
}

bool device_name(const Port *port, unsigned device, char *name, size_t size)
{
    return vport::device_name(port->port.state, device, name, size);
}

const char *file(const Port *port)
{
    return port->port.path;
}

bool state_path(unsigned base, char *path, size_t size)
{
    return vport::state_path(base, path, size);
}

} // namespace watch
