// The watcher's view of a port: a read-only look at the virtual port's
// state file.
#include "watch.h"
#include "vport.h"

#include <stdio.h>

namespace watch {

struct Port {
    vport::Port port;
};

Opened open(unsigned base, Port **port, char *why, size_t why_size)
{
    *port = static_cast<Port *>(vport::allocate(sizeof(Port)));
    if (*port == nullptr) {
        snprintf(why, why_size, "out of memory");
        return refused;
    }
    const Opened opened = vport::open_existing(base, &(*port)->port, why, why_size);
    if (opened != watch::opened) {
        vport::release(*port);
        *port = nullptr;
    }
    return opened;
}

void close(Port *port)
{
    if (port != nullptr) {
        vport::close(&port->port);
        vport::release(port);
    }
}

uint8_t read(const Port *port, unsigned reg)
{
    return vport::read(port->port.state, reg);
}

size_t recent_writes(const Port *port, Write *out, size_t max)
{
    return vport::recent_writes(port->port.state, out, max);
}

uint64_t write_count(const Port *port)
{
    return vport::write_count(port->port.state);
}

uint32_t changes(const Port *port)
{
    return vport::changes(port->port.state);
}

void wait_for_write(const Port *port, uint32_t seen, int timeout_ms)
{
    vport::wait_for_change(&port->port, seen, timeout_ms);
}

bool changed(const Port *port)
{
    return vport::changed(&port->port);
}

bool lost(const Port *port)
{
    return vport::lost(&port->port);
}

bool device(const Port *port, char *name, size_t size)
{
    return vport::device(port->port.state, name, size);
}

const char *file(const Port *port)
{
    return port->port.path;
}

bool state_path(unsigned base, char *path, size_t size)
{
    return vport::state_path(base, path, size);
}

uint64_t now_ns()
{
    return vport::monotonic_ns();
}

} // namespace watch
