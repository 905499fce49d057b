#include "LPT_lib.h"

HINSTANCE hLib;
inpfuncPtr inp32fp;
oupfuncPtr oup32fp;

long init_IO_32(void)
{
    // Bare name: the platform's own search order applies, the program's
    // folder first.
    hLib = LoadLibraryA("inpout32.dll");
    if (hLib == NULL) {
        fprintf(stderr, "LoadLibrary Failed.\n");
        console_pause();
        return -1;
    }

    // GetProcAddress gives a generic function pointer; going through
    // LPT_GENERIC_FN keeps compilers from warning about the cast.
    inp32fp = (inpfuncPtr)(LPT_GENERIC_FN)GetProcAddress(hLib, "Inp32");
    if (inp32fp == NULL) {
        fprintf(stderr, "GetProcAddress for Inp32 Failed.\n");
        console_pause();
        return -1;
    }

    oup32fp = (oupfuncPtr)(LPT_GENERIC_FN)GetProcAddress(hLib, "Out32");
    if (oup32fp == NULL) {
        // No pause here: the caller's own message and pause follow at once.
        fprintf(stderr, "GetProcAddress for Oup32 Failed.\n");
        return -1;
    }

    return 0;
}

short Inp32(short portaddr)
{
    return (inp32fp)(portaddr);
}

void Out32(short portaddr, short datum)
{
    (oup32fp)(portaddr, datum);
}

void un_init_IO_32(void)
{
    FreeLibrary(hLib);
}
