// The port I/O library: Inp32 and Out32 for programs that load it by name.
// A port address selects a parallel port by its base (the address with its
// two low bits cleared) and one of its registers: base is data, base+1
// status, base+2 control.
#include "backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#define LPT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Tried in this order when LPT_BACKEND does not choose one.
const lpt_backend *const backends[] = {&virtual_backend};

const unsigned max_ports = 8;

struct OpenPort {
    unsigned base;
    const lpt_backend *backend;
    void *handle;
};

std::mutex ports_lock;
OpenPort ports[max_ports];
unsigned port_count = 0;

void warn(const std::string &text)
{
    fprintf(stderr, "inpout32: %s\n", text.c_str());
}

const lpt_backend *chosen_backend()
{
    const char *name = getenv("LPT_BACKEND");
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    for (const lpt_backend *backend : backends) {
        if (strcmp(backend->name, name) == 0) {
            return backend;
        }
    }
    static bool told = false;
    if (!told) {
        told = true;
        std::string known;
        for (const lpt_backend *backend : backends) {
            known += known.empty() ? backend->name : std::string(" or ") + backend->name;
        }
        warn(std::string("LPT_BACKEND=") + name + " is not known (use " + known +
             "); choosing by itself");
    }
    return nullptr;
}

OpenPort *open_port(unsigned base)
{
    const lpt_backend *forced = chosen_backend();
    std::string why;
    for (const lpt_backend *backend : backends) {
        if (forced != nullptr && backend != forced) {
            continue;
        }
        why.clear();
        if (void *handle = backend->open(base, &why)) {
            ports[port_count] = OpenPort{base, backend, handle};
            return &ports[port_count++];
        }
        if (!why.empty()) {
            warn(std::string(backend->name) + " port: " + why);
        }
    }
    // Nothing may be silently lost: say so once, then still latch the values.
    char address[16];
    snprintf(address, sizeof address, "0x%03X", base);
    warn(std::string("port ") + address + ": values are kept in this program only");
    std::string unused;
    void *handle = memory_backend.open(base, &unused);
    if (handle == nullptr) {
        return nullptr;
    }
    ports[port_count] = OpenPort{base, &memory_backend, handle};
    return &ports[port_count++];
}

OpenPort *port_at(unsigned base)
{
    for (unsigned i = 0; i < port_count; ++i) {
        if (ports[i].base == base) {
            return &ports[i];
        }
    }
    return port_count < max_ports ? open_port(base) : nullptr;
}

__attribute__((destructor)) void close_ports()
{
    std::lock_guard<std::mutex> guard(ports_lock);
    while (port_count > 0) {
        OpenPort &port = ports[--port_count];
        port.backend->close(port.handle);
    }
}

unsigned base_of(short portaddr)
{
    return static_cast<unsigned short>(portaddr) & ~3u;
}

unsigned register_of(short portaddr)
{
    return static_cast<unsigned short>(portaddr) & 3u;
}

} // namespace

LPT_EXPORT short Inp32(short portaddr)
{
    std::lock_guard<std::mutex> guard(ports_lock);
    OpenPort *port = port_at(base_of(portaddr));
    if (port == nullptr) {
        return 0xFF; // nothing there: the bus floats high
    }
    return port->backend->read(port->handle, register_of(portaddr));
}

LPT_EXPORT void Out32(short portaddr, short datum)
{
    std::lock_guard<std::mutex> guard(ports_lock);
    OpenPort *port = port_at(base_of(portaddr));
    if (port != nullptr) {
        // A port register is eight bits wide: the low byte reaches the lines.
        port->backend->write(port->handle, register_of(portaddr),
                             static_cast<uint8_t>(datum & 0xFF));
    }
}
