// The settings file, where the build has one, as the lookups read it.
#ifndef LPT_SETTINGS_FILE_H
#define LPT_SETTINGS_FILE_H

#include "settings_parse.h"

#include <stddef.h>

namespace ports {

// Where the settings file is; false where there is none at the moment.
// The platform's folder says (the file beside the DLL on Windows).
bool settings_file(char *path, size_t size);

struct SettingsRead {
    bool in_play;                 // the build has a place for the file
    const ParsedSettings *parsed; // its settings; nullptr for none
};
// The file read anew, with the lookups' lock held; what cannot be used in
// it told at the first reading of its path in the process. Where the build
// has no settings file (Linux), none.
SettingsRead read_settings_file();

} // namespace ports

#endif
