// A program that uses our inpout32.dll as other people's programs do, for
// what a test script cannot do from outside:
//   host exits N             runs "host write" N times; says how many hung
//   host write               two threads write the port as main returns
//   host hold                writes 0x11, waits for a line, writes 0x66
//   host loop                two threads write 0x77 until a line comes
//   host loads N             loads and unloads the library N times
//   host stall               a thread writes 0x11 to 0x3BC (the stalling
//                            stand-in holds it until FAKE_LPT_LOG.go exists);
//                            meanwhile reads 0x3BD, writes and reads 0x278
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

// Writes until the program ends.
static DWORD WINAPI writer(void *value)
{
    for (;;) {
        out(0x3BC, static_cast<short>(reinterpret_cast<intptr_t>(value)));
    }
}

static DWORD WINAPI stall(void *)
{
    out(0x3BC, 0x11);
    return 0;
}

static void start_writer(short value)
{
    CreateThread(nullptr, 0, writer, reinterpret_cast<void *>(value), 0, nullptr);
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
    if (strcmp(mode, "loop") == 0 || strcmp(mode, "hold") == 0) {
        const bool loop = mode[0] == 'l';
        out(0x3BC, loop ? 0x77 : 0x11);
        if (loop) {
            start_writer(0x77);
            start_writer(0x77);
        }
        puts(loop ? "looping" : "holding");
        fflush(stdout);
        char line[16];
        fgets(line, sizeof line, stdin);
        if (!loop) {
            out(0x3BC, 0x66);
            printf("%02x\n", inp(0x3BC) & 0xFF);
        }
        return 0;
    }
    if (strcmp(mode, "stall") == 0) {
        char inside[1024], go[1024];
        snprintf(inside, sizeof inside, "%s.inside", getenv("FAKE_LPT_LOG"));
        snprintf(go, sizeof go, "%s.go", getenv("FAKE_LPT_LOG"));
        const HANDLE stalled = CreateThread(nullptr, 0, stall, nullptr, 0, nullptr);
        for (int i = 0; i < 6000 && GetFileAttributesA(inside) == INVALID_FILE_ATTRIBUTES; ++i) {
            Sleep(10);
        }
        const int status = inp(0x3BD) & 0xFF;
        out(0x278, 2);
        printf("3bd=%02x 278=%02x\n", status, inp(0x278) & 0xFF);
        fflush(stdout);
        fclose(fopen(go, "w"));
        WaitForSingleObject(stalled, INFINITE);
        return 0;
    }
    for (int i = 0; strcmp(mode, "loads") == 0 && i < count; ++i) {
        out(0x3BC, 1);
        FreeLibrary(library);
        load();
    }
    return 0;
}
