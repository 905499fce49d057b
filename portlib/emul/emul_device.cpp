// Opening the device over the virtual port, and what every request shares:
// the writes recorded as the requesting program's, the interrupts taken in.
#include "emul_device.h"
#include "emul_ppdev.h"
#include "vport_claim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace emul {
namespace {

// The IRQ enable bit of the control register: on, a rising nAck
// interrupts the port's holder.
const uint8_t irq_enable = 0x10;

Device *make(const char *name)
{
    Device *device = static_cast<Device *>(calloc(1, sizeof(Device)));
    if (device != nullptr) {
        memset(static_cast<void *>(device), 0, sizeof *device);
        device->port = vport::Port();
        device->mark = vport::emulated_device_mark(name);
        device->mutex = LPT_MUTEX_INITIALIZER;
    }
    return device;
}

} // namespace

Device *open_device(unsigned base, const char *name, char *why, size_t why_size)
{
    Device *device = make(name);
    if (device == nullptr) {
        snprintf(why, why_size, "out of memory");
        return nullptr;
    }
    if (!vport::open_shared(base, &device->port, why, why_size)) {
        free(device);
        return nullptr;
    }
    return device;
}

Device *open_private_device(unsigned base, const char *name)
{
    Device *device = make(name);
    if (device != nullptr && !vport::open_private(base, &device->port)) {
        free(device);
        return nullptr;
    }
    return device;
}

void close_device(Device *device)
{
    if (device != nullptr) {
        vport::close(&device->port);
        free(device);
    }
}

void open(Open *o, Device *device, uint32_t pid)
{
    memset(o, 0, sizeof *o);
    o->device = device;
    o->pid = pid;
    o->mode = IEEE1284_MODE_COMPAT;
    o->phase = phase_fwd_idle;
    o->timeout_us = 5000000; // the kernel's default for a device: 5 s
}

uint32_t changes(const Device *device)
{
    return vport::changes(device->port.state);
}

void wait_for_change(const Device *device, uint32_t seen, int timeout_ms)
{
    vport::wait_for_change(&device->port, seen, timeout_ms);
}

uint64_t who(const Open *o)
{
    return vport::claim_word(os::process_id(), o->token);
}

uint8_t get(const Open *o, unsigned reg)
{
    return vport::read(state(o), reg);
}

void put(Open *o, unsigned reg, uint8_t value)
{
    Device *d = o->device;
    const unsigned number = vport::device_number(&d->port, d->mark);
    vport::mark_device(d->port.state, number, o->pid);
    vport::write(d->port.state, reg, value, number, o->pid);
}

void catch_up(Open *o)
{
    const uint32_t edges = vport::nack_edges(state(o));
    if (edges == o->edges_seen) {
        return; // the common case, at the cost of one load
    }
    if ((o->flags & claimed) != 0 && (get(o, vport::control) & irq_enable) != 0) {
        o->irqs += edges - o->edges_seen;
        if (o->irq_response) {
            o->irq_response = false;
            put(o, vport::control,
                static_cast<uint8_t>((get(o, vport::control) & 0xF0) | (o->irq_control & 0x0F)));
        }
    }
    o->edges_seen = edges;
}

} // namespace emul
