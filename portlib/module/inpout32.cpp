// The port I/O library: Inp32 and Out32 for programs that load it by name.
#include "ports.h"

#ifdef _WIN32
#include <windows.h>
// The Windows API calling convention, exported under the plain names (the
// build strips the @N that __stdcall names carry).
#define LPT_EXPORT extern "C" __declspec(dllexport)
#define LPT_CALL __stdcall

// Unloaded by FreeLibrary: the ports are closed. Unloaded because the
// process ends (`reserved` set): the system has already ended the other
// threads wherever they were, inside our locks or the system's, so nothing
// may be touched; the system frees it all.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        lpt_unload();
    }
    return TRUE;
}
#else
#define LPT_EXPORT extern "C" __attribute__((visibility("default")))
#define LPT_CALL

__attribute__((destructor)) static void unloaded()
{
    lpt_unload();
}
#endif

LPT_EXPORT short LPT_CALL Inp32(short portaddr)
{
    // Where it returns to: the hardware's library calling back from a thread
    // of its own is known by that alone.
    return lpt_read(static_cast<uint16_t>(portaddr), __builtin_return_address(0));
}

LPT_EXPORT void LPT_CALL Out32(short portaddr, short datum)
{
    // A port register is eight bits wide: the low byte reaches the lines.
    lpt_write(static_cast<uint16_t>(portaddr), static_cast<uint8_t>(datum & 0xFF),
              __builtin_return_address(0));
}
