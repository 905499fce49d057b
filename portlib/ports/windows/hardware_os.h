// What the hand-off to the hardware's own port I/O library needs of Windows,
// and nothing else does: loading another library, the parallel ports the
// system lists, its DLL folder, a notice given once per process.
#ifndef LPT_HARDWARE_OS_H
#define LPT_HARDWARE_OS_H

#include "os.h"

#include <stddef.h>
#include <stdint.h>

namespace hardware_os {

// Another library, loaded from exactly `path`, the libraries it needs
// searched for in its own folder first.
struct Library {
    void *handle = nullptr;
};
bool load_library(const char *path, Library *library, os::Error *error);
// Whether the library loaded is this library itself, by its module and by
// its file: a file of the same name already loaded may be returned instead.
bool is_own_module(Library library);
// A failed load that means a DLL the library needs is missing; `name` is
// then the first of its DLLs that is found neither loaded, nor beside it,
// nor on the system's search path ("" where none could be told).
bool missing_dependency(const char *path, const os::Error &error, char *name, size_t size);
// The full path of a relative or bare one, as the file system resolves it
// (against the current folder, as the checks read it), in memory of its own
// (free it); nullptr with *error set where it cannot be had.
char *full_path(const char *path, os::Error *error);
bool is_folder(const char *path);
// Where the system mapped the library: its code lies within.
void image_range(Library library, uintptr_t *begin, uintptr_t *end);
typedef void (*Entry)();
Entry library_entry(Library library, const char *name);
void unload_library(Library library);
// The parallel ports the system lists with an I/O range (the device
// manager), lowest name first; how many there were.
struct ParallelPort {
    char name[16]; // LPT1
    unsigned address;
};
size_t parallel_ports(ParallelPort *ports, size_t max);
// The folder of the system's own DLLs as this program sees it.
bool system_library_folder(char *path, size_t size);
// True the first time this process asks, also when the library was
// unloaded and loaded again since.
bool first_time_in_process();

} // namespace hardware_os

#endif
