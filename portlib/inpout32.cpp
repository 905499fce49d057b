// The port I/O library: Inp32 and Out32 for programs that load it by name.
#include "ports.h"

#ifdef _WIN32
// The Windows API calling convention, exported under the plain names (the
// build strips the @N that __stdcall names carry).
#define LPT_EXPORT extern "C" __declspec(dllexport)
#define LPT_CALL __stdcall
#else
#define LPT_EXPORT extern "C" __attribute__((visibility("default")))
#define LPT_CALL
#endif

LPT_EXPORT short LPT_CALL Inp32(short portaddr)
{
    return lpt_read(static_cast<uint16_t>(portaddr));
}

LPT_EXPORT void LPT_CALL Out32(short portaddr, short datum)
{
    // A port register is eight bits wide: the low byte reaches the lines.
    lpt_write(static_cast<uint16_t>(portaddr), static_cast<uint8_t>(datum & 0xFF));
}
