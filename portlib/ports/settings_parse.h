// The settings file read: its bytes, as Windows' tools write them, into
// its settings, and what cannot be used in it, told one line each with the
// file's line number and the fix.
#ifndef LPT_SETTINGS_PARSE_H
#define LPT_SETTINGS_PARSE_H

#include "settings_rules.h"

#include <stddef.h>

// A settings file is a few lines. One far longer is not used at all rather
// than in part: a value cut short once sent the writes to I/O port 3.
const size_t lpt_settings_longest = 65536;
const size_t lpt_settings_most = 1000;

struct lpt_parsed_settings {
    char text[lpt_settings_longest / 2 * 3 + 2]; // UTF-16 takes up to 3 bytes a unit in UTF-8
    lpt_setting_line entries[lpt_settings_most]; // pointing into text
    size_t count;
};

// The file at `path` (named so in what is told) holding `bytes`: its
// settings into *parsed, in the file's order; each line to tell given to
// tell(line, context). A file that cannot be used whole has no settings.
void lpt_parse_settings(const unsigned char *bytes, size_t length, const char *path,
                        lpt_parsed_settings *parsed, void (*tell)(const char *line, void *context),
                        void *context);

#endif
