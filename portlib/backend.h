// The ways the port library can reach a parallel port. Each backend opens a
// port by its base address and reads and writes its three registers.
#ifndef LPT_BACKEND_H
#define LPT_BACKEND_H

#include <stddef.h>
#include <stdint.h>

enum lpt_open_result {
    lpt_opened,
    lpt_absent,   // the backend has no port at that address
    lpt_unusable, // it has one, but cannot use it; why says why and the fix
};

struct lpt_backend {
    const char *name;
    // Opens the port at `base` into *port. On failure `why` tells the reason.
    lpt_open_result (*open)(unsigned base, void **port, char *why, size_t why_size);
    uint8_t (*read)(void *port, unsigned reg);
    void (*write)(void *port, unsigned reg, uint8_t value);
    void (*close)(void *port);
    // For a backend that drives hardware, the N of the device parportN that
    // the port is; nullptr for the others.
    int (*device_number)(void *port);
};

extern const lpt_backend ppdev_backend;
extern const lpt_backend virtual_backend;
// Registers kept in this process only: the last resort, so that reads still
// give back what was written.
extern const lpt_backend memory_backend;

// Records a write made to the real port parportN in a port of the virtual
// backend, marked with N + 1, so that lptmon shows it as that port's.
void lpt_record_write(void *virtual_port, unsigned reg, uint8_t value, uint32_t real_port);

// One line of its own on standard error, "inpout32: " first.
void lpt_say(const char *text);
// Appends to a message, cut short rather than overflowing.
void lpt_append(char *text, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#endif
