#include "backend.h"
#include "vport.h"

#include <stdio.h>

namespace {

lpt_open_result open_port(unsigned base, void **handle, char *why, size_t why_size)
{
    vport::Port *port = static_cast<vport::Port *>(vport::allocate(sizeof(vport::Port)));
    if (port == nullptr) {
        snprintf(why, why_size, "out of memory");
        return lpt_unusable;
    }
    if (!vport::open_shared(base, port, why, why_size)) {
        vport::release(port);
        return lpt_unusable;
    }
    *handle = port;
    return lpt_opened;
}

lpt_open_result open_memory(unsigned base, void **handle, char *why, size_t why_size)
{
    vport::Port *port = static_cast<vport::Port *>(vport::allocate(sizeof(vport::Port)));
    if (port == nullptr || !vport::open_private(base, port)) {
        vport::release(port);
        snprintf(why, why_size, "out of memory");
        return lpt_unusable;
    }
    *handle = port;
    return lpt_opened;
}

// The file went away under the mapping (shrunk by someone): the access just
// made reached blank memory; or another program gave it up for a new one. Made anew, or else kept
// in this program, so that the access can be made again and nothing is lost. False when not even
// that memory could be had: the port is then left without registers.
bool recover(vport::Port *port)
{
    const unsigned base = port->base;
    // A file given up by another program that made it anew: followed
    // without a word, as a file rebuilt in place is.
    const bool retired = vport::retired(port);
    char text[1200], why[700];
    int n = snprintf(text, sizeof text, "virtual port: %s %s; ", port->path,
                     retired ? "was given up by another program" : "shrank while in use");
    vport::close(port);
    bool kept = true;
    if (vport::open_shared(base, port, why, sizeof why)) {
        if (retired) {
            return true;
        }
        snprintf(text + n, sizeof text - n, "made it anew");
    } else if (vport::open_private(base, port)) {
        snprintf(text + n, sizeof text - n, "%s; port 0x%03X: values are kept in this program only",
                 why, base);
    } else {
        snprintf(text + n, sizeof text - n,
                 "%s; port 0x%03X: out of memory, its values are lost; end other programs and "
                 "start this one again",
                 why, base);
        kept = false;
    }
    lpt_say(text);
    return kept;
}

// A port without registers (out of memory) reads as nothing connected and
// ignores writes.
uint8_t read_register(void *handle, unsigned reg)
{
    vport::Port *port = static_cast<vport::Port *>(handle);
    if (port->state == nullptr) {
        return 0xFF;
    }
    uint8_t value = vport::read(port->state, reg);
    for (int tries = 0; tries < 3 && vport::lost(port); ++tries) {
        if (!recover(port)) {
            return 0xFF;
        }
        value = vport::read(port->state, reg);
    }
    return value;
}

// The mark first: a watcher woken by the write sees whose write it was.
void record(vport::Port *port, unsigned reg, uint8_t value, uint32_t real_port)
{
    vport::set_real_port(port->state, real_port);
    vport::write(port->state, reg, value);
}

void write_register(void *handle, unsigned reg, uint8_t value)
{
    lpt_record_write(handle, reg, value, 0);
}

void close_port(void *handle)
{
    vport::close(static_cast<vport::Port *>(handle));
    vport::release(handle);
}

} // namespace

void lpt_record_write(void *virtual_port, unsigned reg, uint8_t value, uint32_t real_port)
{
    vport::Port *port = static_cast<vport::Port *>(virtual_port);
    if (port->state == nullptr) {
        return;
    }
    record(port, reg, value, real_port);
    for (int tries = 0; tries < 3 && vport::lost(port); ++tries) {
        if (!recover(port)) {
            return;
        }
        record(port, reg, value, real_port);
    }
}

const lpt_backend virtual_backend = {"virtual",      open_port,  read_register,
                                     write_register, close_port, nullptr};
const lpt_backend memory_backend = {"memory",       open_memory, read_register,
                                    write_register, close_port,  nullptr};
