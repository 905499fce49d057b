// The settings file on Windows: beside the DLL, where a lab copies it to
// every PC with the library.
#include "os.h"
#include "os_windows.h"
#include "settings.h"
#include "settings_file.h"

#include <stdio.h>
#include <string.h>

namespace ports {

bool settings_file(char *path, size_t size)
{
    if (!os::windows::library_folder(path, size)) {
        return false;
    }
    const size_t length = strlen(path);
    return snprintf(path + length, size - length, "%s%s", os::separator, settings_name) <
           static_cast<int>(size - length);
}

} // namespace ports
