// What every entry of the table of ports offers: a port opened by its base
// address, and its three registers read and written.
#ifndef LPT_BACKEND_H
#define LPT_BACKEND_H

#include <stddef.h>
#include <stdint.h>

enum lpt_open_result {
    lpt_opened,
    lpt_absent,  // the backend has no port at that address
    lpt_refused, // it has one, but cannot use it; why says why and the fix
};

struct lpt_backend {
    const char *name;
    // Opens the port at `base` into *port. On failure `why` tells the reason.
    lpt_open_result (*open)(unsigned base, void **port, char *why, size_t why_size);
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

// The code of another library as the system maps it, [begin, end): a call
// into this library from there is that library calling back, whichever
// thread makes it (a wrapper may make its calls on a worker thread of its
// own). Once one came, called_back stays set and that library is not called
// again.
struct lpt_foreign_code {
    uintptr_t begin, end;
    bool called_back;
};
// For backends whose port runs code not ours (the hardware's own library),
// which may be slow, or call back into this library: runs call(context)
// with no lock of this library held, and refuses at once any call into this
// library that comes back meanwhile, on this thread, or from `code` on any
// thread. False when one came back, or when this access itself comes from
// `code`. What the port needs after it must not be freed meanwhile: the
// ports are closed only when no such call is under way.
bool lpt_outside_lock(void (*call)(void *context), void *context, lpt_foreign_code *code = nullptr);
// From a backend's read or write: its port cannot be used any more, for
// `why` (with the fix); after this access the table's next entry takes the
// port, and the line says so.
void lpt_give_up_port(const char *why);

#endif
