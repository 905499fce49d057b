// The port I/O library: Inp32 and Out32 for programs that load it by name.
#include "port_io_entries.h"
#include "ports.h"

#ifdef _WIN32
#include <windows.h>
// Exported under the plain names (the build strips the @N that the calling
// convention's names carry).
#define LPT_EXPORT extern "C" __declspec(dllexport)

// Unloaded by FreeLibrary: the ports are closed. Unloaded because the
// process ends (`reserved` set): the system has already ended the other
// threads wherever they were, inside our locks or the system's, so nothing
// may be touched; the system frees it all.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        ports::unload();
    }
    return TRUE;
}
#else
#define LPT_EXPORT extern "C" __attribute__((visibility("default")))

__attribute__((destructor)) static void unloaded()
{
    ports::unload();
}
#endif

// Declared by their types: a definition of another shape fails to build.
LPT_EXPORT lpt_inp32_entry Inp32;
LPT_EXPORT lpt_out32_entry Out32;

LPT_EXPORT short LPT_STDCALL Inp32(short portaddr)
{
    // Where it returns to: the hardware's library calling back from a thread
    // of its own is known by that alone.
    return ports::read_port(static_cast<uint16_t>(portaddr), __builtin_return_address(0));
}

LPT_EXPORT void LPT_STDCALL Out32(short portaddr, short datum)
{
    // A port register is eight bits wide: the low byte reaches the lines.
    ports::write_port(static_cast<uint16_t>(portaddr), static_cast<uint8_t>(datum & 0xFF),
                      __builtin_return_address(0));
}
