// Linux has no settings file: the environment holds the settings, and a
// test that reads a file links in its own lpt_settings_file instead.
#include "settings.h"

bool lpt_settings_file(char *, size_t)
{
    return false;
}
