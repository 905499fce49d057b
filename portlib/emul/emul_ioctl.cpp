// ppdev's requests, as the kernel answers them: a few need no claim, the
// rest refuse with EINVAL until the open holds the port.
#include "emul_device.h"
#include "emul_ppdev.h"
#include "vport_claim.h"

#include <errno.h>
#include <string.h>

namespace emul {
namespace {

// What the port offers: a PC's registers, data that can be turned around,
// registers safe to touch in an interrupt. No EPP or ECP hardware.
const unsigned port_modes = PARPORT_MODE_PCSPP | PARPORT_MODE_TRISTATE | PARPORT_MODE_SAFEININT;
const uint8_t control_lines = 0x0F; // strobe, autofeed, init, select-in
const uint8_t irq_enable = 0x10;
const uint8_t reverse = 0x20;

int phase_of(int mode)
{
    const int base = mode & ~(IEEE1284_DEVICEID | IEEE1284_ADDR);
    return base == IEEE1284_MODE_NIBBLE || base == IEEE1284_MODE_BYTE ? phase_rev_idle
                                                                      : phase_fwd_idle;
}

template <typename T> T take(const void *arg)
{
    T value;
    memcpy(&value, arg, sizeof value);
    return value;
}

template <typename T> long give(void *arg, T value)
{
    memcpy(arg, &value, sizeof value);
    return 0;
}

// The control register as the kernel's driver writes it: only the four
// lines change; the enable and direction bits stay as they are.
void frob_control(Open *o, uint8_t mask, uint8_t value)
{
    uint8_t next = get(o, vport::control);
    if ((mask & reverse) != 0) {
        next = static_cast<uint8_t>((next & ~reverse) | (value & reverse));
    }
    mask &= control_lines;
    next = static_cast<uint8_t>((next & ~mask) ^ (value & mask));
    put(o, vport::control, next);
}

void stop_waiting(Open *o)
{
    if ((o->flags & waiting_claim) != 0) {
        o->flags &= ~waiting_claim;
        vport::count_waiter(state(o), -1);
    }
}

// Takes the port, or says to wait for its holder; first registers the
// open, alone on the port if PPEXCL asked for it.
long claim(Open *o)
{
    vport::State *s = state(o);
    if (o->token == 0) {
        o->token = vport::claim_token(vport::claimer(s));
    }
    if ((o->flags & registered) == 0) {
        const uint64_t alone = vport::exclusive_holder(s);
        if ((alone != 0 && alone != who(o)) ||
            ((o->flags & asked_exclusive) != 0 && !vport::take_exclusive(s, who(o)))) {
            return -ENXIO; // the kernel's answer when registering fails
        }
        o->flags |= (o->flags & asked_exclusive) != 0 ? registered | exclusive : registered;
    }
    // A yield lets a waiter in first: the holder waits a moment for one.
    if ((o->flags & yielding) != 0 && os::monotonic_ns() < o->wait_until_ns &&
        vport::claim_waiters(s) > 0) {
        return would_wait;
    }
    if (!vport::take_claim(s, who(o))) {
        o->wait_until_ns = 0; // a yield has let another in: now a waiter like any
        if ((o->flags & waiting_claim) == 0) {
            o->flags |= waiting_claim;
            vport::count_waiter(s, +1);
        }
        return would_wait;
    }
    stop_waiting(o);
    o->flags = (o->flags & ~yielding) | claimed;
    o->wait_until_ns = 0;
    o->edges_seen = vport::nack_edges(s);
    // The kernel enables the port's interrupt for its holder.
    if ((get(o, vport::control) & irq_enable) == 0) {
        put(o, vport::control, static_cast<uint8_t>(get(o, vport::control) | irq_enable));
    }
    return 0;
}

void release(Open *o)
{
    o->flags &= ~claimed;
    vport::drop_claim(state(o), who(o));
}

long set_time(Open *o, int64_t seconds, int64_t micros)
{
    if (seconds < 0 || micros < 0 || (seconds == 0 && micros == 0)) {
        return -EINVAL;
    }
    // Beyond any wait anyone means: kept from overflowing.
    const int64_t limit = 1ll << 40;
    o->timeout_us = static_cast<uint64_t>((seconds < limit ? seconds : limit) * 1000000 +
                                          (micros < limit ? micros : limit));
    return 0;
}

// struct timeval as 32-bit and 64-bit programs have it.
template <typename T> long set_time_as(Open *o, const void *arg)
{
    T time[2];
    memcpy(time, arg, sizeof time);
    return set_time(o, time[0], time[1]);
}

template <typename T> long get_time_as(Open *o, void *arg)
{
    const T time[2] = {static_cast<T>(o->timeout_us / 1000000),
                       static_cast<T>(o->timeout_us % 1000000)};
    memcpy(arg, time, sizeof time);
    return 0;
}

const long needs_claim = would_wait - 1;

// The requests the kernel answers without a claim; needs_claim for the
// others.
long unclaimed(Open *o, unsigned long request, void *arg)
{
    switch (request) {
    case PPCLAIM:
        return (o->flags & claimed) != 0 ? -EINVAL : claim(o);
    case PPEXCL:
        if ((o->flags & registered) != 0) {
            return (o->flags & exclusive) != 0 ? 0 : -EINVAL; // too late
        }
        o->flags |= asked_exclusive;
        return 0;
    case PPSETMODE:
        o->mode = take<int>(arg);
        o->phase = phase_of(o->mode);
        return 0;
    case PPGETMODE:
        return give(arg, o->mode);
    case PPSETPHASE:
        o->phase = take<int>(arg);
        return 0;
    case PPGETPHASE:
        return give(arg, o->phase);
    case PPGETMODES:
        return give(arg, port_modes);
    case PPSETFLAGS:
        o->user_flags = take<int>(arg) & PP_FLAGMASK;
        return 0;
    case PPGETFLAGS:
        return give(arg, o->user_flags);
    }
    return needs_claim;
}

long claimed_request(Open *o, unsigned long request, void *arg)
{
    switch (request) {
    case PPRSTATUS:
        return give(arg, get(o, vport::status));
    case PPRDATA:
        // Turned around, the data lines read what the outside drives.
        return give(arg, (get(o, vport::control) & reverse) != 0 ? vport::data_input(state(o))
                                                                 : get(o, vport::data));
    case PPRCONTROL:
        return give(arg, static_cast<uint8_t>(get(o, vport::control) & control_lines));
    case PPYIELD:
        if (vport::claim_waiters(state(o)) == 0) {
            return 0; // no one waits: the kernel keeps the port too
        }
        release(o);
        o->flags |= yielding;
        o->wait_until_ns = os::monotonic_ns() + 20000000ull;
        return claim(o);
    case PPRELEASE:
        release(o);
        return 0;
    case PPWCONTROL:
        frob_control(o, control_lines | (take<uint8_t>(arg) & reverse), take<uint8_t>(arg));
        return 0;
    case PPWDATA:
        put(o, vport::data, take<uint8_t>(arg));
        return 0;
    case PPFCONTROL: {
        const ppdev_frob_struct frob = take<ppdev_frob_struct>(arg);
        frob_control(o, frob.mask, frob.val);
        return 0;
    }
    case PPDATADIR:
        frob_control(o, reverse, take<int>(arg) != 0 ? reverse : 0);
        return 0;
    case PPNEGOT: {
        const int mode = take<int>(arg);
        if ((o->mode & ~IEEE1284_ADDR) == (mode & ~IEEE1284_ADDR) || mode == IEEE1284_MODE_COMPAT) {
            o->mode = mode;
            o->phase = phase_fwd_idle;
            return 0;
        }
        // No IEEE 1284 peripheral answers on the bench: the handshake
        // fails, as with a plain printer, and the port stays compatible.
        o->mode = IEEE1284_MODE_COMPAT;
        o->phase = phase_fwd_idle;
        return -EIO;
    }
    case PPWCTLONIRQ:
        o->irq_control = take<uint8_t>(arg);
        o->irq_response = true;
        return 0;
    case PPCLRIRQ: {
        const int count = static_cast<int>(o->irqs);
        o->irqs = 0;
        return give(arg, count);
    }
    case set_time_32:
        return set_time_as<int32_t>(o, arg);
    case set_time_64:
        return set_time_as<int64_t>(o, arg);
    case get_time_32:
        return get_time_as<int32_t>(o, arg);
    case get_time_64:
        return get_time_as<int64_t>(o, arg);
    }
    return -EINVAL; // ppdev's answer to a request of its own it does not know
}

long dispatch(Open *o, unsigned long request, void *arg)
{
    // A yield not yet done takes the port back before anything else.
    if ((o->flags & yielding) != 0) {
        const long taken = claim(o);
        if (taken != 0 || request == PPYIELD) {
            return taken;
        }
    }
    const long result = unclaimed(o, request, arg);
    if (result != needs_claim) {
        return result;
    }
    return (o->flags & claimed) == 0 ? -EINVAL : claimed_request(o, request, arg);
}

} // namespace

long ioctl(Open *o, unsigned long request, void *arg)
{
    // Another driver's request (a terminal's, say): not this device's.
    if (_IOC_TYPE(request) != PP_IOCTL) {
        return -ENOTTY;
    }
    if (_IOC_SIZE(request) != 0 && arg == nullptr) {
        return -EFAULT;
    }
    Device *d = o->device;
    os::lock(&d->mutex);
    catch_up(o);
    const long result = dispatch(o, request, arg);
    os::unlock(&d->mutex);
    return result;
}

void close(Open *o)
{
    Device *d = o->device;
    os::lock(&d->mutex);
    stop_waiting(o);
    if ((o->flags & claimed) != 0) {
        release(o);
    }
    if ((o->flags & exclusive) != 0) {
        vport::drop_exclusive(state(o), who(o));
    }
    o->flags = 0;
    os::unlock(&d->mutex);
}

} // namespace emul
