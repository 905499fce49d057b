// The Windows platform: the real loader, console and command processor.
#ifndef LPT_PLATFORM_H
#define LPT_PLATFORM_H

#include <windows.h>
#include <conio.h>
#include <stdio.h>
#include <stdlib.h>

// LPT_STDCALL: the port library's calling convention.
#include "port_io_entries.h"

typedef void (*LPT_GENERIC_FN)(void);

// The current C runtimes no longer offer _sleep; Sleep is its documented
// replacement with the same meaning (milliseconds).
#define _sleep(milliseconds) Sleep(milliseconds)

// The command processor's pause. Flush first so that what the program wrote
// stands before the prompt also when the output goes to a pipe or a file.
static inline void console_pause(void)
{
    fflush(stdout);
    fflush(stderr);
    system("pause");
}

#endif
