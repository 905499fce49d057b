// The virtual port as an entry of the table of ports: shared through its
// state file, kept in this program when the file is lost while in use.
#include "backends.h"
#include "say.h"
#include "vport.h"

#include <stdio.h>
#include <stdlib.h>

namespace ports {

namespace {

OpenResult open_shared_port(unsigned base, void **handle, char *why, size_t why_size)
{
    vport::Port *port = static_cast<vport::Port *>(calloc(1, sizeof(vport::Port)));
    if (port == nullptr) {
        snprintf(why, why_size, "out of memory");
        return refused;
    }
    if (!vport::open_shared(base, port, why, why_size)) {
        free(port);
        return refused;
    }
    if (port->replaced_old_version) {
        char text[700];
        snprintf(text, sizeof text,
                 "virtual port: %s was made by an older version of this library; made it anew",
                 port->path);
        say(text);
    }
    *handle = port;
    return opened;
}

// The file went away under the mapping (shrunk by someone): the access just
// made reached blank memory; or another program gave it up for a new one.
// Made anew, or else kept in this program, so that the access can be made
// again and nothing is lost. False when not even that memory could be had:
// the port is then left without registers.
bool recover(vport::Port *port, bool moved_off)
{
    const unsigned base = port->base;
    // A file given up by another program that made it anew, or taken from
    // its place (removed, or another put there): followed without a word,
    // as a file rebuilt in place is.
    const bool retired = moved_off || vport::retired(port);
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
    say(text);
    return kept;
}

// Makes an access to the port's registers, and makes it again on the
// recovered port while the one it reached was lost: a few times at most, as
// a file taken away on every try must not hold the host. False when the
// port has no registers left (out of memory).
template <typename Access> bool reach(vport::Port *port, Access access)
{
    if (port->state == nullptr) {
        return false;
    }
    // A file no longer at its path gets no more of this writer's accesses:
    // other programs and lptmon are on the one there now.
    if (vport::moved_off(port) && !recover(port, true)) {
        return false;
    }
    access();
    for (int tries = 0; tries < 3 && vport::lost(port); ++tries) {
        if (!recover(port, false)) {
            return false;
        }
        access();
    }
    return true;
}

// A port without registers (out of memory) reads as nothing connected and
// ignores writes.
uint8_t read_register(void *handle, unsigned reg)
{
    vport::Port *port = static_cast<vport::Port *>(handle);
    uint8_t value = 0xFF;
    return reach(port, [&] { value = vport::read(port->state, reg); }) ? value : 0xFF;
}

// The virtual port's own writes, marked as no hardware port's.
const vport::DeviceMark own_writes = {0, ""};

void write_register(void *handle, unsigned reg, uint8_t value)
{
    write_marked(handle, reg, value, own_writes);
}

void close_port(void *handle)
{
    vport::close(static_cast<vport::Port *>(handle));
    free(handle);
}

} // namespace

const Backend virtual_backend = {"virtual",  open_shared_port, read_register, write_register,
                                 close_port, nullptr,          nullptr};

// The mark first: a watcher woken by the write sees whose write it was.
void write_marked(void *handle, unsigned reg, uint8_t value, const vport::DeviceMark &device)
{
    vport::Port *port = static_cast<vport::Port *>(handle);
    reach(port, [&] {
        const unsigned number = vport::device_number(port, device);
        vport::mark_device(port->state, number);
        vport::write(port->state, reg, value, number);
    });
}

} // namespace ports
