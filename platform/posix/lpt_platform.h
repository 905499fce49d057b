// POSIX stand-in for the few Windows loader and console calls the program
// uses. Each call behaves as its Windows namesake does.
#ifndef LPT_PLATFORM_H
#define LPT_PLATFORM_H

#include <stdio.h>
#include <stdlib.h>

struct lpt_module;
typedef struct lpt_module *HINSTANCE;
typedef void (*FARPROC)(void);
typedef int BOOL;

// LPT_STDCALL: the port library's calling convention (none on POSIX).
#include "port_io_entries.h"

// The generic function pointer type that casts to any other without warning.
typedef void (*LPT_GENERIC_FN)(void);

// Loads by bare name with the dynamic linker's search order; the program
// carries a run path of its own folder, so a library beside it comes first.
// NULL when the file is missing, not a library or built for another machine.
HINSTANCE LoadLibraryA(const char *name);
// The module's own export of exactly that name, or NULL.
FARPROC GetProcAddress(HINSTANCE module, const char *name);
BOOL FreeLibrary(HINSTANCE module);

// Non-zero when a key press waits in the console (the controlling terminal);
// the key press is left there. From the first call on, the terminal is in
// single-key mode without echo, restored on every way out; at the program's
// normal end, what was typed while it ran is discarded, so that it does not
// reach the shell.
int _kbhit(void);
// Takes the console as the first _kbhit does. A program that links
// console_at_start.cpp (the build's lpt_console_at_start) has it done before
// main, so that no key typed early is echoed; the others, which may never
// read a key, leave the terminal as they found it.
void console_open(void);
// Sleeps the full time, whatever signals arrive.
void _sleep(unsigned long milliseconds);
// The console's "pause": prompt on standard output, one key from standard
// input, end of line. Returns at once at end of input.
void console_pause(void);

#endif
