// A program that uses our inpout32.dll the way other people's programs do,
// for what a test script cannot do from outside:
//   host exits N        runs "host write" N times; says how many hung at exit
//   host write          two threads writing the port when main returns
//   host rebuild FILE PROBE  a writer in full flow while PROBE rebuilds the
//                       damaged state FILE; says what the register holds after
//   host hold           writes 0x11, waits for a line on its input, writes 0x66
//   host loads N        loads and unloads the library N times, a write each
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

static void load()
{
    library = LoadLibraryA("inpout32.dll");
    if (library == nullptr) {
        fprintf(stderr, "host: LoadLibrary failed\n");
        exit(2);
    }
    // Through a generic function pointer, as -Wcast-function-type asks.
    inp = reinterpret_cast<inp_fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "Inp32")));
    out = reinterpret_cast<out_fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "Out32")));
}

static DWORD WINAPI writer(void *value)
{
    while (InterlockedCompareExchange(&stop, 0, 0) == 0) {
        out(0x3BC, static_cast<short>(reinterpret_cast<intptr_t>(value)));
    }
    return 0;
}

static bool run(const char *command, DWORD timeout_ms, DWORD *status)
{
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION process;
    char line[1024];
    snprintf(line, sizeof line, "%s", command);
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                        &process)) {
        fprintf(stderr, "host: cannot start %s\n", command);
        exit(2);
    }
    const bool ended = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.hProcess, 9);
    }
    GetExitCodeProcess(process.hProcess, status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return ended;
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "exits") == 0 && argc > 2) {
        char self[MAX_PATH], command[MAX_PATH + 16];
        GetModuleFileNameA(nullptr, self, sizeof self);
        snprintf(command, sizeof command, "\"%s\" write", self);
        int hung = 0, runs = atoi(argv[2]);
        for (int i = 0; i < runs; ++i) {
            DWORD status = 0;
            hung += !run(command, 20000, &status);
        }
        printf("%d of %d hung at exit\n", hung, runs);
        return hung == 0 ? 0 : 1;
    }
    load();
    if (strcmp(mode, "write") == 0) {
        out(0x3BC, 1); // the port opened before the threads race
        CreateThread(nullptr, 0, writer, reinterpret_cast<void *>(1), 0, nullptr);
        CreateThread(nullptr, 0, writer, reinterpret_cast<void *>(2), 0, nullptr);
        Sleep(5);
        return 0;
    }
    if (strcmp(mode, "rebuild") == 0 && argc > 3) {
        // Five times: the magic spoilt through a handle of our own, as any
        // program could, and the writer stopped as soon as PROBE has rebuilt
        // the file, so that the new count stays far below the old one.
        printf("after the rebuild:");
        for (int round = 0; round < 5; ++round) {
            out(0x3BC, 0x11);
            InterlockedExchange(&stop, 0);
            HANDLE thread =
                CreateThread(nullptr, 0, writer, reinterpret_cast<void *>(0x11), 0, nullptr);
            Sleep(300);
            HANDLE file = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 7, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            DWORD done = 0, magic = 0;
            WriteFile(file, &magic, 4, &done, nullptr);
            // Its output, not ours, goes nowhere.
            SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
            STARTUPINFOA start = {};
            start.cb = sizeof start;
            start.dwFlags = STARTF_USESTDHANDLES;
            start.hStdInput = start.hStdOutput = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 3,
                                                             &inherited, OPEN_EXISTING, 0, nullptr);
            start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
            PROCESS_INFORMATION probe;
            char line[1024];
            snprintf(line, sizeof line, "%s", argv[3]);
            if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                                &probe)) {
                return 2;
            }
            for (int i = 0; i < 30000 && magic == 0; ++i) {
                Sleep(1);
                SetFilePointer(file, 0, nullptr, FILE_BEGIN);
                ReadFile(file, &magic, 4, &done, nullptr);
            }
            InterlockedExchange(&stop, 1);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            CloseHandle(file);
            out(0x3BC, 0x44);
            printf(" %02x", inp(0x3BC) & 0xFF);
            WaitForSingleObject(probe.hProcess, 60000);
            CloseHandle(probe.hProcess);
            CloseHandle(probe.hThread);
            CloseHandle(start.hStdOutput);
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
    if (strcmp(mode, "loads") == 0 && argc > 2) {
        for (int i = atoi(argv[2]); i > 0; --i) {
            out(0x3BC, 1);
            FreeLibrary(library);
            load();
        }
        return 0;
    }
    fprintf(stderr, "host: unknown mode\n");
    return 2;
}
