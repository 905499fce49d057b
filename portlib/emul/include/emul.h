// A parallel port device (/dev/parportN) served over the virtual port, with
// the kernel's ppdev semantics, for programs written against ppdev that run
// on the bench: lptrun serves it inside the program, lptdev through CUSE.
//
// Every call is a step that never sleeps: where the kernel would block (a
// claim another open holds, a printer that is busy), a call answers
// `would_wait` and the front end waits, as it can (its own thread, or a
// queued request), for wait_for_change and then makes the same call again.
// Front ends see only this header.
#ifndef LPT_EMUL_H
#define LPT_EMUL_H

#include <stddef.h>
#include <stdint.h>

namespace emul {

// A device as one front end serves it: the virtual port at an address, and
// the name lptmon gives the writes made through it.
struct Device;

// Maps the virtual port at `base` (0x378) for the device `name`, as lptmon
// shows its writes ("/dev/parport0 (lptrun)"). nullptr with the reason,
// in the port library's words, in `why`.
Device *open_device(unsigned base, const char *name, char *why, size_t why_size);
// The same, kept in this process only (nullptr when out of memory): for
// tests and the benchmark.
Device *open_private_device(unsigned base, const char *name);
void close_device(Device *device);

// One open of the device, as the kernel keeps one per open file: dup'd
// descriptors share it. The front end owns the memory; the fields are
// this layer's, but `pid`, which the front end may change at any time.
struct Open {
    Device *device;
    // The process whose requests these are: each write is recorded as its
    // (lptdev: the client's, not the server's).
    uint32_t pid;
    // This layer's from here on.
    uint32_t token; // tells this open's claim from another's
    unsigned flags; // claimed, exclusive, asked exclusive, yielding
    int mode;       // IEEE 1284 mode, as PPSETMODE set it
    int phase;      // IEEE 1284 phase, as PPSETPHASE set it
    int user_flags; // PPSETFLAGS
    uint64_t timeout_us;
    uint32_t irqs;       // interrupts not yet taken by PPCLRIRQ
    uint32_t edges_seen; // the port's count of nAck edges last looked at
    uint8_t irq_control; // PPWCTLONIRQ: written on the next interrupt
    bool irq_response;
    uint64_t wait_until_ns; // a write waiting for the printer: its deadline
};

// Sets up an open of `device` made by process `pid` (0: this process).
void open(Open *open, Device *device, uint32_t pid);
// The close of the open's last descriptor: releases its claim.
void close(Open *open);

// Results: >= 0 done (a byte count for read and write); -errno, as the
// kernel's (-EINVAL, -ENOTTY, -EIO...); or would_wait.
const long would_wait = -0x10000;

// An ioctl. `arg` points to the request's argument, as many bytes as the
// request's number says (_IOC_SIZE), read for _IOW requests and written
// for _IOR ones; it may be nullptr for requests without one.
long ioctl(Open *open, unsigned long request, void *arg);
// read() and write() in the open's IEEE 1284 mode. `nonblocking`: the
// descriptor has O_NONBLOCK.
long read(Open *open, void *buffer, size_t size, bool nonblocking);
long write(Open *open, const void *buffer, size_t size, bool nonblocking);
// poll(): POLLIN | POLLRDNORM while an interrupt is pending, else 0.
unsigned poll(Open *open);

// Waiting: take changes() before the call that answered would_wait (or
// before a poll that found nothing), then sleep in wait_for_change until
// the port changes after it (a write, a claim let go, an input set), a
// signal comes, or `timeout_ms` passes; then make the call again. A holder
// that died never wakes anyone: wait at most wait_limit_ms at a time.
uint32_t changes(const Device *device);
void wait_for_change(const Device *device, uint32_t seen, int timeout_ms);
const int wait_limit_ms = 200;

} // namespace emul

#endif
