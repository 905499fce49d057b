// A stand-in for the port I/O library, on Linux and Windows, that records
// every call as a line "<what> <port> <value> <monotonic ns>" in the file
// named by FAKE_LPT_LOG. Which entries it exports is chosen at build time; on
// Windows they are __stdcall with plain names, as the real library has them.
//
// Hostile variants, Windows only, chosen at build time as well: FAKE_CDECL
// (entries __cdecl), FAKE_FORWARD (a wrapper handing each call on to
// "inpout32.dll" by name; with FAKE_WORKER, from one worker thread of its
// own while the caller waits), FAKE_DLLMAIN_OUT (its DllMain calls that
// library's Out32), FAKE_STALL (Out32 of 0x11 waits for the file
// FAKE_LPT_LOG.go, after making FAKE_LPT_LOG.inside), FAKE_NEEDS (imports
// a DLL, lpt_gone.dll, that the tests leave out), FAKE_GONE (that DLL).
//
// On Windows a port call's line also ends in "<return address> <frame>": the
// entry pops its own arguments, so a caller built for the other convention
// leaves its stack pointer moved by their size after every call. The program
// may survive that, but the next call from the same place then arrives at
// another depth, which the frame address shows.
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#ifdef FAKE_CDECL
#define FAKE_CALL __cdecl
#else
#define FAKE_CALL __stdcall
#endif
// Evaluated in the entry itself: where it returns to and its own frame, a
// fixed distance above the caller's stack pointer at the call.
#define FAKE_CALLER __builtin_return_address(0), __builtin_frame_address(0)
#else
#include <unistd.h>
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#define FAKE_CALL
#define FAKE_CALLER NULL, NULL
#endif

static void record(const char *what, int port, int value, const void *site = NULL,
                   const void *frame = NULL)
{
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    // Buffered until fclose: one line, one appending write, whole also when
    // the process is killed later.
    const char *path = getenv("FAKE_LPT_LOG");
    if (FILE *log = path ? fopen(path, "a") : NULL) {
        if (site) {
            fprintf(log, "%s %d %d %lld %p %p\n", what, port, value, ns, site, frame);
        } else {
            fprintf(log, "%s %d %d %lld\n", what, port, value, ns);
        }
        fclose(log);
    }
}

#ifdef _WIN32
// The entry of that name in "inpout32.dll", as a program finds it.
static __attribute__((unused)) FARPROC named_entry(const char *name)
{
    return GetProcAddress(LoadLibraryA("inpout32.dll"), name);
}
#ifdef FAKE_WORKER
// One call at a time, made by the worker while its caller waits.
static CRITICAL_SECTION one_call;
static HANDLE call_ready, call_done;
static short call_port, call_datum;
static DWORD WINAPI worker(LPVOID)
{
    for (;;) {
        WaitForSingleObject(call_ready, INFINITE);
        ((void(__stdcall *)(short, short))(void (*)())named_entry("Out32"))(call_port, call_datum);
        SetEvent(call_done);
    }
}
static void on_worker(short portaddr, short datum)
{
    EnterCriticalSection(&one_call);
    call_port = portaddr;
    call_datum = datum;
    SetEvent(call_ready);
    WaitForSingleObject(call_done, INFINITE);
    LeaveCriticalSection(&one_call);
}
#endif
#ifdef FAKE_GONE
extern "C" __declspec(dllexport) int lpt_gone(void)
{
    return 1;
}
#endif
#ifdef FAKE_NEEDS
extern "C" __declspec(dllimport) int lpt_gone(void);
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
#ifdef FAKE_NEEDS
    lpt_gone();
#endif
#ifdef FAKE_DLLMAIN_OUT
    if (reason == DLL_PROCESS_ATTACH) {
        ((void(__stdcall *)(short, short))(void (*)())named_entry("Out32"))(0x3BC, 0x55);
    }
#endif
#ifdef FAKE_WORKER
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&one_call);
        call_ready = CreateEventA(NULL, FALSE, FALSE, NULL);
        call_done = CreateEventA(NULL, FALSE, FALSE, NULL);
        CloseHandle(CreateThread(NULL, 0, worker, NULL, 0, NULL));
    }
#endif
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) {
        record(reason == DLL_PROCESS_ATTACH ? "load" : "unload", 0,
               reason == DLL_PROCESS_ATTACH ? (int)GetCurrentProcessId() : 0);
    }
    return TRUE;
}
#else
__attribute__((constructor)) static void loaded()
{
    record("load", 0, getpid());
}
__attribute__((destructor)) static void unloaded()
{
    record("unload", 0, 0);
}
#endif

#ifdef FAKE_INP
FAKE_EXPORT short FAKE_CALL FAKE_INP(short portaddr)
{
    record("inp", portaddr, 0x5A, FAKE_CALLER);
#ifdef FAKE_FORWARD
    return ((short(__stdcall *)(short))(void (*)())named_entry("Inp32"))(portaddr);
#endif
    return 0x5A;
}
#endif

#ifdef FAKE_OUT
FAKE_EXPORT void FAKE_CALL FAKE_OUT(short portaddr, short datum)
{
#ifdef FAKE_STALL
    if (datum == 0x11) {
        char inside[1024], go[1024];
        snprintf(inside, sizeof inside, "%s.inside", getenv("FAKE_LPT_LOG"));
        snprintf(go, sizeof go, "%s.go", getenv("FAKE_LPT_LOG"));
        fclose(fopen(inside, "w"));
        for (int i = 0; i < 6000 && GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES; ++i) {
            Sleep(10);
        }
    }
#endif
    record("out", portaddr, datum, FAKE_CALLER);
#if defined(FAKE_FORWARD) && defined(FAKE_WORKER)
    on_worker(portaddr, datum);
#elif defined(FAKE_FORWARD)
    ((void(__stdcall *)(short, short))(void (*)())named_entry("Out32"))(portaddr, datum);
#endif
}
#endif
