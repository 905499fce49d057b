// The hardware backend's checks and advice, apart from its forwarding.
#ifndef LPT_HARDWARE_CHECKS_H
#define LPT_HARDWARE_CHECKS_H

#include <stddef.h>

namespace hardware {

// The last part of a path.
const char *file_name(const char *path);
// The port's real address: LPT_PORT_0xADDR's, else `base`. False, with the
// fix in `why`, for a setting that cannot be used; an address setting
// without the library (`forwarding` false) is one.
bool real_address(unsigned base, bool forwarding, unsigned *address, char *why, size_t why_size);
// How the messages name the library: the setting, and the file it was
// resolved to where that is another text (a bare or relative name).
void name_library(const char *path, const char *full, char *text, size_t size);
// Whether the file can be the hardware's library, before the system loads
// it: a DLL for this program's processor, and not a build of this library.
// `subject` names it in `why`.
bool fit_to_load(const char *path, const char *subject, char *why, size_t why_size);
// The backend's advice (ports::Backend::advice).
void advise(unsigned base, char *text, size_t size);

} // namespace hardware

#endif
