#include "ports.h"
#include "backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// A real port when there is one, else the virtual one (LPT_BACKEND chooses).
const lpt_backend *const backends[] = {&ppdev_backend, &virtual_backend};

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
    // On a line of its own: the first port write often follows a prompt
    // that has no line break yet, as the blinker's own text has none.
    fprintf(stderr, "\ninpout32: %s\n", text.c_str());
}

std::string address(unsigned base)
{
    char text[16];
    snprintf(text, sizeof text, "0x%03X", base);
    return text;
}

const lpt_backend *forced_backend()
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
        warn(std::string("LPT_BACKEND=") + name +
             " is not known (use ppdev or virtual); choosing by itself");
    }
    return nullptr;
}

void add(unsigned base, const lpt_backend *backend, void *handle)
{
    ports[port_count++] = OpenPort{base, backend, handle};
}

// Everything said about one port goes in one line, once.
OpenPort *open_port(unsigned base)
{
    const lpt_backend *forced = forced_backend();
    std::string problems;
    for (const lpt_backend *backend : backends) {
        if (forced != nullptr && backend != forced) {
            continue;
        }
        void *handle = nullptr;
        std::string why;
        lpt_open_result result = backend->open(base, &handle, &why);
        if (result == lpt_opened) {
            if (!problems.empty()) {
                warn(problems + "; using the " + backend->name + " port instead");
            }
            add(base, backend, handle);
            return &ports[port_count - 1];
        }
        if (result == lpt_unusable || forced != nullptr) {
            problems +=
                (problems.empty() ? "" : "; ") + std::string(backend->name) + " port: " + why;
        }
    }
    // Nothing may be silently lost: say so, then still latch the values.
    warn((problems.empty() ? "" : problems + "; ") + "port " + address(base) +
         ": values are kept in this program only");
    void *handle = nullptr;
    std::string unused;
    if (memory_backend.open(base, &handle, &unused) != lpt_opened) {
        return nullptr;
    }
    add(base, &memory_backend, handle);
    return &ports[port_count - 1];
}

OpenPort *port_at(unsigned base)
{
    for (unsigned i = 0; i < port_count; ++i) {
        if (ports[i].base == base) {
            return &ports[i];
        }
    }
    if (port_count == max_ports) {
        static bool told = false;
        if (!told) {
            told = true;
            warn("more than " + std::to_string(max_ports) + " ports in use; " + address(base) +
                 " and further ones are ignored");
        }
        return nullptr;
    }
    return open_port(base);
}

__attribute__((destructor)) void close_at_unload()
{
    lpt_close_ports();
}

} // namespace

uint8_t lpt_read(uint16_t address)
{
    std::lock_guard<std::mutex> guard(ports_lock);
    OpenPort *port = port_at(address & ~3u);
    return port != nullptr ? port->backend->read(port->handle, address & 3u) : 0xFF;
}

void lpt_write(uint16_t address, uint8_t value)
{
    std::lock_guard<std::mutex> guard(ports_lock);
    OpenPort *port = port_at(address & ~3u);
    if (port != nullptr) {
        port->backend->write(port->handle, address & 3u, value);
    }
}

void lpt_close_ports()
{
    std::lock_guard<std::mutex> guard(ports_lock);
    while (port_count > 0) {
        OpenPort &port = ports[--port_count];
        port.backend->close(port.handle);
    }
}
