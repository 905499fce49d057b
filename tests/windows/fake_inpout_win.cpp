// A stand-in for the port I/O library on Windows: __stdcall exports with
// plain names, as the real library has, recording every call as a line
// "<what> <port> <value> <ns>" in the file named by FAKE_LPT_LOG.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static void record(const char *what, int port, int value)
{
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("FAKE_LPT_LOG", path, sizeof path) == 0) {
        return;
    }
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    long long ns = (long long)((double)count.QuadPart * 1e9 / (double)frequency.QuadPart);
    char line[128];
    int n = snprintf(line, sizeof line, "%s %d %d %lld\n", what, port, value, ns);
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, line, (DWORD)n, &written, NULL);
        CloseHandle(file);
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        record("load", 0, (int)GetCurrentProcessId());
    } else if (reason == DLL_PROCESS_DETACH) {
        record("unload", 0, 0);
    }
    return TRUE;
}

#ifdef FAKE_INP
extern "C" __declspec(dllexport) short __stdcall Inp32(short portaddr)
{
    record("inp", portaddr, 0x5A);
    return 0x5A;
}
#endif

#ifdef FAKE_OUT
extern "C" __declspec(dllexport) void __stdcall Out32(short portaddr, short datum)
{
    record("out", portaddr, datum);
}
#endif
