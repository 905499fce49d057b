#include "backend.h"
#include "vport.h"

namespace {

void *open_port(unsigned base, std::string *why)
{
    vport::Port *port = new vport::Port;
    if (!vport::open_shared(base, port, why)) {
        delete port;
        return nullptr;
    }
    return port;
}

void *open_memory(unsigned base, std::string *)
{
    vport::Port *port = new vport::Port;
    if (!vport::open_private(base, port)) {
        delete port;
        return nullptr;
    }
    return port;
}

uint8_t read_register(void *port, unsigned reg)
{
    return vport::read(static_cast<vport::Port *>(port)->state, reg);
}

void write_register(void *port, unsigned reg, uint8_t value)
{
    vport::write(static_cast<vport::Port *>(port)->state, reg, value);
}

void close_port(void *port)
{
    vport::close(static_cast<vport::Port *>(port));
    delete static_cast<vport::Port *>(port);
}

} // namespace

const lpt_backend virtual_backend = {"virtual", open_port, read_register, write_register,
                                     close_port};
const lpt_backend memory_backend = {"memory", open_memory, read_register, write_register,
                                    close_port};
