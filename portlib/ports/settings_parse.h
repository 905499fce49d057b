// The settings file read: its bytes, as Windows' tools write them, into
// its settings, and what cannot be used in it, told one line each with the
// file's line number and the fix.
#ifndef LPT_SETTINGS_PARSE_H
#define LPT_SETTINGS_PARSE_H

#include "settings_rules.h"

#include <stddef.h>

namespace ports {

// A settings file is a few lines. One far longer is not used at all rather
// than in part: a value cut short once sent the writes to I/O port 3.
const size_t settings_longest = 65536;
const size_t settings_most = 1000;

struct ParsedSettings {
    char text[settings_longest / 2 * 3 + 2]; // UTF-16 takes up to 3 bytes a unit in UTF-8
    SettingLine entries[settings_most];      // pointing into text
    size_t count;
};

// The file at `path` (named so in what is told) holding `bytes`: its
// settings into *parsed, in the file's order; each line to tell given to
// tell(line, context). A file that cannot be used whole has no settings.
void parse_settings(const unsigned char *bytes, size_t length, const char *path,
                    ParsedSettings *parsed, void (*tell)(const char *line, void *context),
                    void *context);

} // namespace ports

#endif
