// read, write and poll on the device, as the kernel's ppdev over a PC's
// port: writes in compatibility mode hand each byte to the printer with a
// strobe pulse; reads need an IEEE 1284 peripheral, which the bench has not.
#include "emul_device.h"
#include "emul_ppdev.h"

#include <errno.h>
#include <poll.h>

namespace emul {
namespace {

const uint8_t strobe = PARPORT_CONTROL_STROBE;
// The lines a printer handshake leaves at rest: init high, select-in on.
const uint8_t at_rest = PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT;
const uint8_t ready_mask = PARPORT_STATUS_ERROR | PARPORT_STATUS_BUSY;
const uint8_t upset_mask = PARPORT_STATUS_PAPEROUT | PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR;

int transfer_mode(const Open *o)
{
    return o->mode & ~(IEEE1284_DEVICEID | IEEE1284_ADDR);
}

bool known_mode(int mode)
{
    switch (mode) {
    case IEEE1284_MODE_COMPAT:
    case IEEE1284_MODE_NIBBLE:
    case IEEE1284_MODE_BYTE:
    case IEEE1284_MODE_EPP:
    case IEEE1284_MODE_EPPSL:
    case IEEE1284_MODE_EPPSWE:
    case IEEE1284_MODE_ECP:
    case IEEE1284_MODE_ECPRLE:
    case IEEE1284_MODE_ECPSWE:
        return true;
    }
    return false;
}

// Compatibility mode, byte by byte: wait for the printer (not busy, no
// fault), put the byte on the data lines, pulse strobe. A printer out of
// paper, off line or in fault ends the write at once, as the kernel's;
// one busy after some bytes ends it short, so no byte is sent twice.
long write_compat(Open *o, const uint8_t *bytes, size_t size, bool nonblocking)
{
    const uint8_t rest = static_cast<uint8_t>((get(o, vport::control) & 0xD0) | at_rest);
    if (size != 0 && o->wait_until_ns == 0) {
        put(o, vport::control, rest); // data lines forward, lines at rest
    }
    size_t count = 0;
    while (count < size) {
        const uint8_t status = get(o, vport::status);
        if ((status & ready_mask) != ready_mask) {
            if ((status & upset_mask) != (PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR)) {
                break;
            }
            const uint64_t now = os::monotonic_ns();
            if (count == 0 && !nonblocking && o->wait_until_ns == 0) {
                o->wait_until_ns = now + o->timeout_us * 1000;
            }
            if (count == 0 && !nonblocking && now < o->wait_until_ns) {
                return would_wait;
            }
            break; // timed out: what was written, maybe nothing
        }
        put(o, vport::data, bytes[count]);
        put(o, vport::control, static_cast<uint8_t>(rest | strobe));
        put(o, vport::control, rest);
        ++count;
    }
    o->wait_until_ns = 0;
    return static_cast<long>(count);
}

} // namespace

long read(Open *o, void *, size_t size, bool nonblocking)
{
    Device *d = o->device;
    os::lock(&d->mutex);
    catch_up(o);
    long result;
    if ((o->flags & claimed) == 0) {
        result = -EINVAL;
    } else if (size == 0) {
        result = 0;
    } else if (!known_mode(transfer_mode(o))) {
        result = -ENOSYS;
    } else if (transfer_mode(o) == IEEE1284_MODE_COMPAT) {
        // The kernel negotiates a reverse mode first: no peripheral answers.
        result = -EIO;
    } else {
        // A reverse mode with no peripheral sending: nothing comes, and the
        // kernel keeps asking until a signal.
        result = nonblocking ? -EAGAIN : would_wait;
    }
    os::unlock(&d->mutex);
    return result;
}

long write(Open *o, const void *buffer, size_t size, bool nonblocking)
{
    Device *d = o->device;
    os::lock(&d->mutex);
    catch_up(o);
    long result;
    const int mode = transfer_mode(o);
    if ((o->flags & claimed) == 0) {
        result = -EINVAL;
    } else if (!known_mode(mode)) {
        result = -ENOSYS;
    } else if (mode == IEEE1284_MODE_COMPAT || mode == IEEE1284_MODE_NIBBLE ||
               mode == IEEE1284_MODE_BYTE) {
        // The reverse modes go back to compatibility mode to write.
        if (mode != IEEE1284_MODE_COMPAT) {
            o->mode = IEEE1284_MODE_COMPAT;
            o->phase = phase_fwd_idle;
        }
        result = write_compat(o, static_cast<const uint8_t *>(buffer), size, nonblocking);
    } else {
        result = 0; // EPP and ECP: no peripheral takes a byte
    }
    os::unlock(&d->mutex);
    return result;
}

unsigned poll(Open *o)
{
    Device *d = o->device;
    os::lock(&d->mutex);
    catch_up(o);
    const unsigned ready = o->irqs != 0 ? POLLIN | POLLRDNORM : 0;
    os::unlock(&d->mutex);
    return ready;
}

} // namespace emul
