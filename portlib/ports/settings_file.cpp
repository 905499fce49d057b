// The settings file read: found where the build says (settings_file),
// read anew at each ask, what cannot be used in it told once. Built where
// there is a settings file (Windows), and into the settings' tests.
#include "os.h"
#include "say.h"
#include "settings_file.h"

#include <stdio.h>
#include <string.h>

namespace ports {

namespace {

// The file as last read. A host may call the library from any thread, and
// the file is read anew at each ask (a lab may edit it between two runs), so
// all of this is used under the lookups' lock only.
struct SettingsFile {
    unsigned char raw[settings_longest + 1];
    ParsedSettings parsed;
    bool in_play; // the system has a place for the file
    char path[os::longest_path];
} file;
// The file's problems are told once, at its first reading in the process:
// the file whose they were.
char told_path[os::longest_path] = "";

bool told()
{
    return strcmp(told_path, file.path) == 0;
}

void say_line(const char *text, void *)
{
    if (!told()) {
        say(text);
    }
}

// The file anew, where there is one; told once when it exists but cannot be
// read, as a file taken for none would leave its settings unused unsaid.
void load()
{
    file.parsed.count = 0;
    file.in_play = settings_file(file.path, sizeof file.path);
    size_t length = 0;
    os::Error error;
    if (!file.in_play) {
        return;
    }
    if (!os::read_start(file.path, file.raw, sizeof file.raw, &length, &error)) {
        if (!os::is_absent(error)) {
            char reason[200];
            os::error_text(error.code, reason, sizeof reason);
            char text[1200] = "";
            append(text, sizeof text,
                   "%s cannot be read (%s): make it a file this user may read, and close any "
                   "program that holds it; none of its settings is used",
                   file.path, reason);
            say_line(text, nullptr);
        }
    } else {
        parse_settings(file.raw, length, file.path, &file.parsed, say_line, nullptr);
    }
    snprintf(told_path, sizeof told_path, "%s", file.path);
}

} // namespace

SettingsRead read_settings_file()
{
    load();
    return SettingsRead{file.in_play, &file.parsed};
}

} // namespace ports
