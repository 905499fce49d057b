// lptrun PROGRAM [ARGS...]: runs a parallel-port program unchanged on the
// virtual port, with the library that gives it its ports preloaded.
#include "program_file.h"
#include "say.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const unsigned max_parports = 8;

const char usage[] = "usage: lptrun [--parportN=ADDRESS]... PROGRAM [ARGS...]\n";

// The name as the messages show it: no control characters.
const char *shown(const char *name)
{
    static char text[600];
    text[0] = '\0';
    ports::append_escaped(text, sizeof text, name);
    return text;
}

int refuse(const char *text)
{
    fprintf(stderr, "lptrun: %s\n", text);
    return 126;
}

// Root could reach the real ports: a program whose port instructions the
// library failed to catch (its own raw system calls, a library loaded past
// ours) would write the hardware.
bool privileged()
{
    uid_t real, effective, saved;
    return getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0;
}

// The library beside lptrun, for the program's kind.
bool library_for(ProgramKind kind, char *path, size_t size)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return false;
    }
    self[n] = '\0';
    *strrchr(self, '/') = '\0';
    const int length =
        snprintf(path, size, "%s/liblptrun-%s.so", self, kind == program_32 ? "i386" : "x86_64");
    return length > 0 && static_cast<size_t>(length) < size && access(path, R_OK) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned bases[max_parports] = {0x378, 0x278, 0x3BC};
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--parport", 9) == 0; ++first) {
        char *end;
        const unsigned long n = strtoul(argv[first] + 9, &end, 10);
        const unsigned long base = *end == '=' ? strtoul(end + 1, &end, 0) : 1;
        if (n >= max_parports || *end != '\0' || base % 4 != 0 || base >= 0x10000) {
            fprintf(stderr,
                    "lptrun: %s: give a parport's number below %u and its base address, "
                    "a multiple of 4: --parport0=0x378\n%s",
                    shown(argv[first]), max_parports, usage);
            return 2;
        }
        bases[n] = static_cast<unsigned>(base);
    }
    if (first < argc && strcmp(argv[first], "--") == 0) {
        ++first;
    }
    if (first >= argc) {
        fputs(usage, stderr);
        return 2;
    }
    if (privileged()) {
        return refuse("will not run as root, where a port access it failed to catch would reach "
                      "the real port; run it as your own user");
    }
    const char *name = argv[first];
    char path[PATH_MAX], runs[PATH_MAX], text[2000];
    if (!find_program(name, path, sizeof path)) {
        fprintf(stderr, "lptrun: %s: no such program\n", shown(name));
        return 127;
    }
    const ProgramKind kind = program_kind(path, runs, sizeof runs);
    char library[PATH_MAX + 40];
    switch (kind) {
    case program_static:
        snprintf(text, sizeof text,
                 "%s is statically linked, so no library can be loaded into it; build it "
                 "without -static",
                 shown(runs));
        return refuse(text);
    case program_setid:
        snprintf(text, sizeof text,
                 "%s is set-user-ID or set-group-ID, so the system loads no library into it; run "
                 "a copy of it: cp %s ./copy && lptrun ./copy",
                 shown(path), shown(path));
        return refuse(text);
    case program_other:
    case program_missing:
        snprintf(text, sizeof text, "%s is no x86 Linux program that lptrun can run", shown(runs));
        return refuse(text);
    default:
        break;
    }
    if (!library_for(kind, library, sizeof library)) {
        snprintf(text, sizeof text, "its library for %s programs is missing: %s; build it again",
                 kind == program_32 ? "32-bit" : "64-bit", shown(library));
        return refuse(text);
    }

    // Ours first; a library the user preloads still loads after it. Ours of
    // the other kind, from an lptrun that runs this one, goes: the system
    // would refuse it in each program with a line.
    char preloads[sizeof library + 4096];
    snprintf(preloads, sizeof preloads, "%s", library);
    char others[4096];
    snprintf(others, sizeof others, "%s", getenv("LD_PRELOAD") ? getenv("LD_PRELOAD") : "");
    for (char *name = strtok(others, " :"); name != nullptr; name = strtok(nullptr, " :")) {
        const char *base = strrchr(name, '/') ? strrchr(name, '/') + 1 : name;
        if (strncmp(base, "liblptrun-", 10) != 0) {
            ports::append(preloads, sizeof preloads, " %s", name);
        }
    }
    char ports[max_parports * 8] = "", stated[400] = "";
    unsigned first_base = 0;
    for (unsigned n = 0; n < max_parports; ++n) {
        ports::append(ports, sizeof ports, "%s0x%X", n > 0 ? "," : "", bases[n]);
        if (bases[n] != 0) {
            first_base = first_base != 0 ? first_base : bases[n];
            ports::append(stated, sizeof stated, "%sparport%u at 0x%03X", stated[0] ? ", " : "", n,
                          bases[n]);
        }
    }
    if (setenv("LD_PRELOAD", preloads, 1) != 0 || setenv("LPTRUN_PORTS", ports, 1) != 0) {
        return refuse("out of memory");
    }
    if (first_base == 0) {
        fprintf(stderr, "lptrun: no parallel ports\n");
    } else {
        fprintf(stderr, "lptrun: %s, virtual ports (watch: lptmon --port 0x%03X)\n", stated,
                first_base);
    }
    // Its port instructions come to the library as SIGSEGV: not blocked,
    // whatever the shell left blocked.
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    sigprocmask(SIG_UNBLOCK, &segv, nullptr);
    // Nor may anything it starts gain privileges (a set-user-ID program,
    // which the system would run without our library, on the real port).
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return refuse("cannot keep the program from gaining privileges (prctl failed)");
    }
    execv(path, argv + first);
    fprintf(stderr, "lptrun: %s: %s\n", shown(path), strerror(errno));
    return 126;
}
