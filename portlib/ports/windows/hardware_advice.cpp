// What a PC has that the hardware backend could use, said where a port
// falls to the virtual one unasked.
#include "hardware_checks.h"
#include "hardware_os.h"
#include "os.h"
#include "say.h"

#include <stdio.h>

namespace hardware {

// Said where a port falls to the virtual one unasked, the first time in the
// process, so that nobody takes our virtual port for a hardware driver: the
// ports the system lists and a port I/O library in the system's own folder,
// with the settings that would use them; only said, never done unasked.
void advise(unsigned base, char *text, size_t size)
{
    text[0] = '\0';
    if (!hardware_os::first_time_in_process()) {
        return;
    }
    ports::append(text, size, "virtual port 0x%03X: no hardware is driven; watch it with lptmon",
                  base);
    hardware_os::ParallelPort found[8];
    const size_t count = hardware_os::parallel_ports(found, sizeof found / sizeof found[0]);
    char folder[520], library[600] = "", unused[1024];
    if (hardware_os::system_library_folder(folder, sizeof folder)) {
        snprintf(library, sizeof library, "%s%sinpout32.dll", folder, os::separator);
        if (!fit_to_load(library, "", unused, sizeof unused)) {
            library[0] = '\0';
        }
    }
    if (count == 0 && library[0] == '\0') {
        return;
    }
    ports::append(text, size, "; this PC has ");
    for (size_t i = 0; i < count; ++i) {
        ports::append(text, size, "%s%s at 0x%03X", i > 0 ? ", " : "", found[i].name,
                      found[i].address);
    }
    if (library[0] != '\0') {
        ports::append(text, size, "%sa port I/O library at %s", count > 0 ? " and " : "", library);
    }
    ports::append(text, size, ": to use %s, set LPT_HARDWARE_DLL=%s",
                  count > 0 ? found[0].name : "it",
                  library[0] != '\0' ? library : "C:\\path\\to\\its.dll");
    if (count > 0 && found[0].address != base) {
        ports::append(text, size, " and LPT_PORT_0x%03X=0x%03X", base, found[0].address);
    }
}

} // namespace hardware
