// The two entries of a port I/O library as programs load them by name:
// Inp32 reads a port register, Out32 writes one (its low byte reaches the
// lines). On Windows they use the Windows API calling convention (the callee
// pops its arguments), exported under the plain names; a caller built with
// another convention would corrupt its own stack.
#ifndef PORT_IO_ENTRIES_H
#define PORT_IO_ENTRIES_H

#ifdef _WIN32
#define LPT_STDCALL __stdcall
#else
#define LPT_STDCALL
#endif

// Function types, so that a definition or a loaded pointer of another shape
// fails to build.
typedef short LPT_STDCALL lpt_inp32_entry(short portaddr);
typedef void LPT_STDCALL lpt_out32_entry(short portaddr, short datum);

#endif
