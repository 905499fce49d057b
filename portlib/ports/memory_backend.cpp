// The table's last entry: the three registers kept in this program, which
// always opens, so that a program whose port can be had nowhere else still
// runs (the table says that no other program sees its values). Just the
// registers: nothing watches them, so there are no writes to record.
#include "backends.h"
#include "vport_types.h"

#include <stdio.h>
#include <stdlib.h>

namespace ports {

namespace {

struct Registers {
    uint8_t value[vport::register_count];
};

OpenResult open_registers(unsigned, void **handle, char *why, size_t why_size)
{
    Registers *registers = static_cast<Registers *>(malloc(sizeof(Registers)));
    if (registers == nullptr) {
        snprintf(why, why_size, "out of memory");
        return refused;
    }
    *registers = Registers{{0, vport::status_at_start, vport::control_at_start}};
    *handle = registers;
    return opened;
}

uint8_t read_register(void *handle, unsigned reg)
{
    // No register there: the bus floats high.
    return reg < vport::register_count ? static_cast<Registers *>(handle)->value[reg] : 0xFF;
}

void write_register(void *handle, unsigned reg, uint8_t value)
{
    // Status lines are inputs: a write to them changes nothing, as on a port.
    if (reg < vport::register_count && reg != vport::status) {
        static_cast<Registers *>(handle)->value[reg] = value;
    }
}

void close_registers(void *handle)
{
    free(handle);
}

} // namespace

const Backend memory_backend = {"memory",        open_registers, read_register, write_register,
                                close_registers, nullptr,        nullptr};

} // namespace ports
