// Linux has no settings file: the environment holds the settings, as a file
// beside the library would be one more place for a Linux user to look.
// Alone in its file, so that the settings' tests, which read a file, link in
// their own reader instead.
#include "settings_file.h"

namespace ports {

SettingsRead read_settings_file()
{
    return SettingsRead{false, nullptr};
}

} // namespace ports
