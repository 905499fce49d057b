// The ways the port library can reach a parallel port. Each backend opens a
// port by its base address and reads and writes its three registers.
#ifndef LPT_BACKEND_H
#define LPT_BACKEND_H

#include <cstdint>
#include <string>

struct lpt_backend {
    const char *name;
    // The port at `base`, or nullptr. *why stays empty when the backend
    // simply has no such port, and tells the reason and the fix when the
    // port exists but cannot be used.
    void *(*open)(unsigned base, std::string *why);
    uint8_t (*read)(void *port, unsigned reg);
    void (*write)(void *port, unsigned reg, uint8_t value);
    void (*close)(void *port);
};

extern const lpt_backend virtual_backend;
// Registers kept in this process only: the last resort, so that reads still
// give back what was written.
extern const lpt_backend memory_backend;

#endif
