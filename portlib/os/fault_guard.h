// POSIX: a state file shrunk by someone else while mapped would kill the
// program with SIGBUS on its next access. Faults inside the guarded mappings
// are turned into blank memory and noted; every other SIGBUS goes to the
// handler that was there before.
#ifndef LPT_FAULT_GUARD_H
#define LPT_FAULT_GUARD_H

#include <stddef.h>

namespace fault_guard {

// The guard's slot, or -1 when none is free (the mapping is then unguarded).
int add(void *start, size_t length);
void remove(int slot);
// Whether an access to the guarded mapping faulted since it was added.
bool faulted(int slot);

} // namespace fault_guard

#endif
