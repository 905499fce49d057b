// The port I/O library: Inp32 and Out32 for programs that load it by name.
#include "ports.h"

#define LPT_EXPORT extern "C" __attribute__((visibility("default")))

LPT_EXPORT short Inp32(short portaddr)
{
    return lpt_read(static_cast<uint16_t>(portaddr));
}

LPT_EXPORT void Out32(short portaddr, short datum)
{
    // A port register is eight bits wide: the low byte reaches the lines.
    lpt_write(static_cast<uint16_t>(portaddr), static_cast<uint8_t>(datum & 0xFF));
}
