// What lptrun needs to know of the program before running it: the file
// that will run (a script's interpreter), and whether its library can be
// loaded into it.
#ifndef LPTRUN_PROGRAM_FILE_H
#define LPTRUN_PROGRAM_FILE_H

#include <stddef.h>

enum ProgramKind {
    program_64,     // x86-64, dynamically linked
    program_32,     // i386, dynamically linked
    program_static, // no dynamic loader to preload a library
    program_setid,  // the loader ignores preloading into it
    program_other,  // another machine's, or no program at all
    program_missing,
};

// `path` resolved through PATH as execvp would, into `found`.
bool find_program(const char *name, char *found, size_t size);
// The kind of the program at `path`; for a script, of its interpreter,
// whose path goes into `runs` (else `path`).
ProgramKind program_kind(const char *path, char *runs, size_t size);

#endif
