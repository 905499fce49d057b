// Where the state files are: the folder, and paths cut and made. Paths of
// any length the system takes, each in memory of its own: a copy cut short
// named another place, or none (a folder named in 180 Chinese letters was
// taken for no setting, and two benches shared one port).
#include "vport_state_file.h"

#include <stdlib.h>
#include <string.h>

namespace state_file {

char *joined(const char *text, const char *more)
{
    const size_t length = strlen(text), more_length = strlen(more);
    char *copy = static_cast<char *>(malloc(length + more_length + 1));
    if (copy != nullptr) {
        memcpy(copy, text, length);
        memcpy(copy + length, more, more_length + 1);
    }
    return copy;
}

void make_folders(const char *path)
{
    char *prefix = joined(path);
    const size_t length = strlen(path);
    for (size_t i = os::root_length(path); prefix != nullptr && i <= length; ++i) {
        if (!os::is_separator(prefix[i]) && prefix[i] != '\0') {
            continue;
        }
        const char kept = prefix[i];
        prefix[i] = '\0';
        os::make_folder(prefix);
        prefix[i] = kept;
    }
    free(prefix);
}

char *split(const char *path, const char **name)
{
    const char *cut = nullptr;
    for (const char *c = path; *c != '\0'; ++c) {
        cut = os::is_separator(*c) ? c : cut;
    }
    *name = cut != nullptr ? cut + 1 : path;
    char *folder = joined(cut == nullptr ? "." : cut == path ? "/" : path);
    if (folder != nullptr && cut != nullptr && cut != path) {
        folder[cut - path] = '\0';
    }
    return folder;
}

char *folder()
{
    char *chosen = os::environment_copy("LPT_VIRTUAL_DIR");
    char standard[1400]; // a profile's or temporary folder, and lpt-virtual
    return chosen != nullptr                                     ? chosen
           : os::default_state_folder(standard, sizeof standard) ? joined(standard)
                                                                 : nullptr;
}

} // namespace state_file
