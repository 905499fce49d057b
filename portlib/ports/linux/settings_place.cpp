// Linux has no settings file: the environment holds the settings, as a file
// beside the library would be one more place for a Linux user to look. A
// test that reads a file links in its own lpt_settings_file instead.
#include "settings.h"

bool lpt_settings_file(char *, size_t)
{
    return false;
}
