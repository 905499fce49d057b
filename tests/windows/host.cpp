// A program that uses our inpout32.dll as other people's programs do, for
// what a test script cannot do from outside:
//   host exits N             runs "host write" N times; says how many hung
//   host write               two threads write the port as main returns
//   host rebuild FILE        five times: a writer in full flow while a
//                            "host rebuilder" rebuilds the damaged state FILE
//                            by its first write; then writes 0x44 and says
//                            what the register holds
//   host rebuilder           writes 0x22 once the rebuild's event is set
//   host hold                writes 0x11, waits for a line, writes 0x66
//   host loads N             loads and unloads the library N times
#include <process.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef short(__stdcall *inp_fn)(short);
typedef void(__stdcall *out_fn)(short, short);

static HMODULE library;
static inp_fn inp;
static out_fn out;
static volatile LONG stop = 0;
static const char rebuild_event[] = "lpt-host-rebuild";

static void load()
{
    library = LoadLibraryA("inpout32.dll");
    // Through a generic function pointer, as -Wcast-function-type asks.
    inp = reinterpret_cast<inp_fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "Inp32")));
    out = reinterpret_cast<out_fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "Out32")));
    if (inp == nullptr || out == nullptr) {
        exit(2);
    }
}

static DWORD WINAPI writer(void *value)
{
    while (InterlockedCompareExchange(&stop, 0, 0) == 0) {
        out(0x3BC, static_cast<short>(reinterpret_cast<intptr_t>(value)));
    }
    return 0;
}

static HANDLE start_writer(short value)
{
    InterlockedExchange(&stop, 0);
    return CreateThread(nullptr, 0, writer, reinterpret_cast<void *>(value), 0, nullptr);
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    const int count = argc > 2 ? atoi(argv[2]) : 0;
    if (strcmp(mode, "exits") == 0) {
        int hung = 0;
        for (int i = 0; i < count; ++i) {
            const HANDLE write =
                reinterpret_cast<HANDLE>(_spawnl(_P_NOWAIT, argv[0], argv[0], "write", nullptr));
            hung += WaitForSingleObject(write, 20000) != WAIT_OBJECT_0;
            TerminateProcess(write, 9);
            CloseHandle(write);
        }
        printf("%d of %d hung at exit\n", hung, count);
        return hung != 0;
    }
    load();
    if (strcmp(mode, "write") == 0) {
        out(0x3BC, 1); // the port opened before the threads race
        start_writer(1);
        start_writer(2);
        Sleep(5);
        return 0;
    }
    if (strcmp(mode, "rebuilder") == 0) {
        const HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, rebuild_event);
        if (go == nullptr || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) {
            return 3;
        }
        out(0x3BC, 0x22);
        return 0;
    }
    if (strcmp(mode, "rebuild") == 0 && argc > 2) {
        printf("after the rebuild:");
        const HANDLE go = CreateEventA(nullptr, TRUE, FALSE, rebuild_event);
        for (int round = 0; round < 5; ++round) {
            out(0x3BC, 0x11);
            // Started while this program has one thread: Wine waits for a new
            // process to start with no time limit, and the writer thread's
            // flat-out writes are no part of what is tested here.
            ResetEvent(go);
            const HANDLE rebuilder = reinterpret_cast<HANDLE>(
                _spawnl(_P_NOWAIT, argv[0], argv[0], "rebuilder", nullptr));
            HANDLE thread = start_writer(0x11);
            Sleep(300);
            // The magic spoilt through a handle of our own, as any program
            // could; the writer stopped as soon as the rebuilder has rebuilt
            // the file, so that the new count stays far below the old one.
            HANDLE file = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 7, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            DWORD done = 0, magic = 0;
            WriteFile(file, &magic, 4, &done, nullptr);
            SetEvent(go);
            for (int i = 0; i < 30000 && magic == 0; ++i) {
                Sleep(1);
                SetFilePointer(file, 0, nullptr, FILE_BEGIN);
                ReadFile(file, &magic, 4, &done, nullptr);
            }
            InterlockedExchange(&stop, 1);
            if (WaitForSingleObject(thread, 30000) != WAIT_OBJECT_0) {
                printf(" (the writer hung in Out32)\n");
                fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 4);
            }
            CloseHandle(thread);
            CloseHandle(file);
            out(0x3BC, 0x44);
            printf(" %02x", inp(0x3BC) & 0xFF);
            if (rebuilder != INVALID_HANDLE_VALUE) {
                WaitForSingleObject(rebuilder, 60000);
                CloseHandle(rebuilder);
            }
        }
        printf("\n");
        return 0;
    }
    if (strcmp(mode, "hold") == 0) {
        out(0x3BC, 0x11);
        printf("holding\n");
        fflush(stdout);
        char line[16];
        fgets(line, sizeof line, stdin);
        out(0x3BC, 0x66);
        printf("%02x\n", inp(0x3BC) & 0xFF);
        return 0;
    }
    for (int i = 0; strcmp(mode, "loads") == 0 && i < count; ++i) {
        out(0x3BC, 1);
        FreeLibrary(library);
        load();
    }
    return 0;
}
