// For the hardware's backend, whose port runs code not ours.
#ifndef LPT_FOREIGN_CODE_H
#define LPT_FOREIGN_CODE_H

#include <stdint.h>

namespace ports {

// The code of another library as the system maps it, [begin, end): a call
// into this library from there is that library calling back, whichever
// thread makes it (a wrapper may make its calls on a worker thread of its
// own). Once one came, called_back stays set and that library is not called
// again.
struct ForeignCode {
    uintptr_t begin, end;
    bool called_back;
};
// Runs call(context) with no lock of this library held (that library may
// be slow, or call back into this one), and refuses at once any call into
// this library that comes back meanwhile, on this thread, or from `code` on
// any thread. False when one came back, or when this access itself comes
// from `code`. What the port needs after it must not be freed meanwhile: the
// ports are closed only when no such call is under way.
bool outside_lock(void (*call)(void *context), void *context, ForeignCode *code = nullptr);
// From a backend's read or write: its port cannot be used any more, for
// `why` (with the fix); after this access the table's entry after the real
// port takes the port, and the line says so.
void give_up_port(const char *why);

} // namespace ports

#endif
