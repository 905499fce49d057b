#include "backend.h"
#include "vport.h"

namespace {

lpt_open_result open_port(unsigned base, void **handle, std::string *why)
{
    vport::Port *port = new vport::Port;
    if (!vport::open_shared(base, port, why)) {
        delete port;
        return lpt_unusable;
    }
    *handle = port;
    return lpt_opened;
}

lpt_open_result open_memory(unsigned base, void **handle, std::string *why)
{
    vport::Port *port = new vport::Port;
    if (!vport::open_private(base, port)) {
        delete port;
        *why = "out of memory";
        return lpt_unusable;
    }
    *handle = port;
    return lpt_opened;
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
