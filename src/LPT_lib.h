// Parallel-port access: binds at run time to the port I/O library
// inpout32.dll and forwards port reads and writes to it.
#ifndef LPT_LIB_H
#define LPT_LIB_H

#include "lpt_platform.h"

// The library's entries use the Windows API calling convention (callee pops
// its arguments); LPT_STDCALL carries it where the platform has one.
typedef short(LPT_STDCALL *inpfuncPtr)(short portaddr);
typedef void(LPT_STDCALL *oupfuncPtr)(short portaddr, short datum);

extern HINSTANCE hLib;
extern inpfuncPtr inp32fp;
extern oupfuncPtr oup32fp;

// 0 when the library is loaded and both entries resolved, -1 otherwise
// (after the module's own message on standard error).
long init_IO_32(void);

// Only between a successful init_IO_32 and un_init_IO_32.
short Inp32(short portaddr);
void Out32(short portaddr, short datum);

void un_init_IO_32(void);

#endif
