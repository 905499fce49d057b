// The rules for the virtual port's state files, whatever the operating
// system: which folders and files are trusted, what is replaced or moved
// aside, how long a lock is waited for, and what is said when it fails.
#ifndef LPT_STATE_FILE_H
#define LPT_STATE_FILE_H

#include "os.h"
#include "vport_types.h"

#include <stddef.h>

namespace state_file {

// LPT_VIRTUAL_DIR, of any length, else the system's folder for the user's
// own files; in memory of its own (free it), nullptr where there is none.
char *folder();
// In memory of their own (free them; nullptr when out of memory): `text`
// followed by `more`; the folder of the file at `path` ("." or "/" where
// it names none), with *name its file's name.
char *joined(const char *text, const char *more = "");
char *split(const char *path, const char **name);
// Creates the folder and any missing parents, as mkdir -p.
void make_folders(const char *path);

struct Mapped {
    os::File file;
    os::Mapping mapping;
    bool writable = false; // a watcher may map it read-only
};

// opened, absent (only when not creating), refused (why says why), or
// stuck: of another size, and mapped by another program where the system
// then will not cut it; mapped, for its contents to be marked as given up.
using vport::Opened;
// Opens and maps the state file at `path` for `size` bytes, the folder and
// file checked to be this user's own. With `create`: the folder is made as
// needed, anything in the file's place that is not a plain file of ours is
// replaced, its blocks are reserved, and *fresh tells that its contents must
// be rebuilt. Returns with the file locked (exclusively when creating) so
// that checking and rebuilding are one step; unlock() ends that. The file
// locked is the one at the path: one moved aside meanwhile is let go and
// the path opened `again`, a few times at most.
Opened open(const char *path, size_t size, bool create, Mapped *mapped, bool *fresh, char *why,
            size_t why_size, int again = 3);
void unlock(const Mapped &mapped);
void close(Mapped *mapped);
// Takes a stuck file out of its place, to be deleted once no program maps
// it, and closes it: the next open makes a fresh one. Locked until moved.
void give_up(const char *path, Mapped *mapped);
// The file at `path` is no longer the one mapped.
bool replaced(const char *path, const Mapped &mapped);

} // namespace state_file

#endif
