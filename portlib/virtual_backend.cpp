#include "backend.h"
#include "sys.h"
#include "vport.h"

#include <stdio.h>

namespace {

lpt_open_result open_port(unsigned base, void **handle, char *why, size_t why_size)
{
    vport::Port *port = static_cast<vport::Port *>(sys::allocate(sizeof(vport::Port)));
    if (port == nullptr) {
        snprintf(why, why_size, "out of memory");
        return lpt_unusable;
    }
    if (!vport::open_shared(base, port, why, why_size)) {
        sys::release(port);
        return lpt_unusable;
    }
    *handle = port;
    return lpt_opened;
}

lpt_open_result open_memory(unsigned base, void **handle, char *why, size_t why_size)
{
    vport::Port *port = static_cast<vport::Port *>(sys::allocate(sizeof(vport::Port)));
    if (port == nullptr || !vport::open_private(base, port)) {
        sys::release(port);
        snprintf(why, why_size, "out of memory");
        return lpt_unusable;
    }
    *handle = port;
    return lpt_opened;
}

// The file went away under the mapping (shrunk by someone): the access just
// made reached blank memory. Made anew, or else kept in this program, so that
// the access can be made again and nothing is lost.
void recover(vport::Port *port)
{
    const unsigned base = port->base;
    // A file given up by another program that made it anew: followed
    // without a word, as a file rebuilt in place is.
    const bool retired = vport::retired(port);
    char text[1200], why[700];
    int n = snprintf(text, sizeof text, "virtual port: %s %s; ", port->path,
                     retired ? "was given up by another program" : "shrank while in use");
    vport::close(port);
    if (vport::open_shared(base, port, why, sizeof why)) {
        if (retired) {
            return;
        }
        snprintf(text + n, sizeof text - n, "made it anew");
    } else {
        vport::open_private(base, port);
        snprintf(text + n, sizeof text - n, "%s; port 0x%03X: values are kept in this program only",
                 why, base);
    }
    lpt_say(text);
}

uint8_t read_register(void *handle, unsigned reg)
{
    vport::Port *port = static_cast<vport::Port *>(handle);
    uint8_t value = vport::read(port->state, reg);
    for (int tries = 0; tries < 3 && vport::lost(port); ++tries) {
        recover(port);
        value = vport::read(port->state, reg);
    }
    return value;
}

void write_register(void *handle, unsigned reg, uint8_t value)
{
    vport::Port *port = static_cast<vport::Port *>(handle);
    vport::write(port->state, reg, value);
    for (int tries = 0; tries < 3 && vport::lost(port); ++tries) {
        recover(port);
        vport::write(port->state, reg, value);
    }
}

void close_port(void *handle)
{
    vport::close(static_cast<vport::Port *>(handle));
    sys::release(handle);
}

} // namespace

const lpt_backend virtual_backend = {"virtual", open_port, read_register, write_register,
                                     close_port};
const lpt_backend memory_backend = {"memory", open_memory, read_register, write_register,
                                    close_port};
