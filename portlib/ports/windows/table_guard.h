// What the table does around code not ours (the hardware's own library):
// such code may call back into this library, on the same thread or on a
// worker thread of its own, and waiting for the table's lock there would
// wait for ever. Such a call is refused, and the port it came through given
// up for the next entry of the table.
#ifndef LPT_TABLE_GUARD_H
#define LPT_TABLE_GUARD_H

#include "table.h"

#include <stdint.h>

namespace ports {

// An access under way, as its thread knows it: where the call came from,
// and whether a call from another library's code came back on this thread
// meanwhile and was refused.
struct Call {
    uintptr_t caller;
    bool came_back;
};

// False for a call on a thread that is inside this library already (a
// wrapper of inpout32.dll, or a DllMain that calls Out32): refused at once.
bool enter(Call *self, const void *caller);
void leave(Call *self);
// With the table's lock held: the access comes from the code of a library
// that another access is waiting in, and is refused.
bool refused_meanwhile(const Call *self);
// With the lock held, after an access to *port: true when its backend gave
// the port up meanwhile; the port is then replaced (unless another
// thread's access did so already, `used` being the handle accessed) and
// the access is to be made again.
bool replace_given_up(OpenPort *port, const void *used);
// A thread is inside code not ours: no port may be closed until it is back.
bool foreign_code_running();

} // namespace ports

#endif
