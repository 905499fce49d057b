// What every entry of the table of ports offers: a port opened by its base
// address, and its three registers read and written.
#ifndef LPT_BACKEND_H
#define LPT_BACKEND_H

#include <stddef.h>
#include <stdint.h>

namespace ports {

enum OpenResult {
    opened,
    absent,  // the backend has no port at that address
    refused, // it has one, but cannot use it; why says why and the fix
};

struct Backend {
    const char *name;
    // Opens the port at `base` into *port. On failure `why` tells the reason.
    OpenResult (*open)(unsigned base, void **port, char *why, size_t why_size);
    uint8_t (*read)(void *port, unsigned reg);
    void (*write)(void *port, unsigned reg, uint8_t value);
    void (*close)(void *port);
    // For a backend that drives hardware, the port as lptmon names it
    // ("/dev/parport0", "0x378 through their.dll"); nullptr for the others.
    const char *(*device)(void *port);
    // Said where the port at `base` falls to the virtual one unasked: for a
    // backend the user must ask for, what this machine has that it could
    // use, with the settings to ask for it, ready to copy; "" for nothing.
    // nullptr for the others.
    void (*advice)(unsigned base, char *text, size_t size);
};

} // namespace ports

#endif
