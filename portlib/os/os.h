// What the port library needs from the operating system: files, folders and
// their mappings, file locks, the clock, the boot, and sleeping on a word in
// a mapped file. Each platform implements it in its own files; the rules
// built on it are written once, above it. It knows nothing of what the files
// hold. Paths are UTF-8 strings, converted where a system wants others.
#ifndef LPT_OS_H
#define LPT_OS_H

#include <stddef.h>
#include <stdint.h>
#ifndef _WIN32
#include <pthread.h>
#endif

namespace os {

// An open file or folder: a HANDLE on Windows, a descriptor on POSIX.
#ifdef _WIN32
struct File {
    void *handle = nullptr;
};
#else
struct File {
    int fd = -1;
};
#endif

// A failed call: its name as the messages show it (nullptr where they name
// none), and the system's error code.
struct Error {
    const char *call = nullptr;
    unsigned long code = 0;
};
// The system's words for an error code, one line without a final stop.
void error_text(unsigned long code, char *text, size_t size);
// What an error of open_file or open_folder means.
bool is_absent(const Error &error);
bool is_denied(const Error &error);
// Something in the file's place that, once removed, makes room for it.
bool is_in_the_way(const Error &error);
// The file was reached through a link that the system follows, also when
// removing it: what it leads to must not be touched.
bool is_followed_link(const Error &error);
// The file cannot be cut while another process maps it.
bool is_mapped_elsewhere(const Error &error);
// The code of a file that exists but is not the one wanted.
extern const unsigned long already_exists;

// Room for any path the systems take, in UTF-8: Windows' 32767 UTF-16
// units of up to three bytes each (far more than Linux's PATH_MAX).
const size_t longest_path = 3 * 32768;

// An environment variable's value in UTF-8; false when unset, empty or
// longer than `size`.
bool environment(const char *name, char *value, size_t size);
// The same of any length, in memory of its own (free it); nullptr when
// unset, empty or out of memory. For a path: one cut short would name
// another place, or none.
char *environment_copy(const char *name);
// Each NAME=value entry of the environment, in UTF-8, until `each` returns
// true.
void each_environment(bool (*each)(const char *entry, void *context), void *context);
// Whether the system takes NAME and name for the same setting (Windows).
extern const bool names_ignore_case;
// The first bytes of a small file, never waiting on a device or FIFO: the
// one reader of the library's small files (settings, procfs, the boot id).
bool read_start(const char *path, void *buffer, size_t size, size_t *length, Error *error);
// The system's folder for this user's own files, with lpt-virtual in it.
bool default_state_folder(char *path, size_t size);
bool is_separator(char c);
// The separator the system's own paths use.
extern const char separator[];
// The length of the part of a path that is never made ("/", "C:\", a share).
size_t root_length(const char *path);
void make_folder(const char *path);

// Opens a folder for open_file, without following a link (POSIX); on
// Windows there is nothing to open and files are found by their paths.
bool open_folder(const char *path, File *folder, Error *error);
struct FolderInfo {
    bool ours;
    bool open_to_others; // others may add or remove files in it
    bool shut_to_owner;  // a restrictive umask left us out
};
bool folder_info(File folder, FolderInfo *info, Error *error);
void open_to_owner(File folder);

enum Access { read_write, read_only, create };
// The file `name` in `folder` (POSIX), which is the one at `path` (Windows):
// never following a link nor waiting on a device or FIFO. error->call is set
// also on success, so that a file found unfit is told of in the same words.
bool open_file(File folder, const char *name, const char *path, Access access, File *file,
               Error *error);
struct FileInfo {
    bool regular;      // neither a folder, a link, a device nor a FIFO
    bool ours;         // owned by this user
    bool private_mode; // only its owner may use it
    unsigned long links;
};
bool file_info(File file, FileInfo *info);
void make_private(File file);
// Removes what is at the place of `name`; true when nothing is there any
// more. Else *final tells that moving it aside would fail too.
bool remove(File folder, const char *name, const char *path, bool *final, unsigned long *code);
// Renames `name` to `name` followed by `suffix`, in the same folder.
bool move_aside(File folder, const char *name, const char *path, const char *suffix,
                unsigned long *code);
void close(File file);
// Whether the file at `path` is `file` itself.
bool same_file(const char *path, File file);

enum Locking { locked, busy, lock_failed };
// Never waits: busy when another process holds a lock in the way.
Locking try_lock(File file, bool exclusive);
void unlock(File file);
// A shared hold on one byte of the file, beyond its end, kept until the file
// is closed or the process ends: a sign that the process still uses the
// file, which its id alone is not (reused, or of another pid namespace).
bool hold_byte(File file, uint64_t offset);
// Whether another open of the file holds that byte.
bool byte_held(File file, uint64_t offset);

bool file_size(File file, uint64_t *size, Error *error);
bool set_size(File file, uint64_t size, Error *error);
// Takes the disk blocks of the first `size` bytes now; the contents of a
// `fresh` file (just made its size) may be written over to do so.
bool reserve(File file, uint64_t size, bool fresh, Error *error);

// A view of a file, shared with every process that maps it.
struct Mapping {
    void *view = nullptr;
    size_t size = 0;
    int slot = -1; // the system's own record of it
};
bool map(File file, size_t size, bool writable, Mapping *mapping, Error *error);
void unmap(Mapping *mapping);
// An access to the mapping found no file behind it since it was made.
bool faulted(const Mapping &mapping);

// Sleeping on a 32-bit word in a mapping, woken by another process.
void wake(uint32_t *word);
void wait(uint32_t *word, uint32_t seen, int timeout_ms);
void sleep_ms(int ms);

// 16 bytes naming this boot of the machine; false when unknown.
bool boot_id(uint8_t id[16]);
// Whether two boot ids name the same boot.
bool same_boot(const uint8_t a[16], const uint8_t b[16]);
uint64_t monotonic_ns();
// Milliseconds of a clock that is cheap to read and coarse (a few ms).
uint64_t coarse_ms();
uint32_t process_id();
// Whether a process with this id runs (as far as this user can tell).
bool process_alive(uint32_t pid);
// UTF-8 text on standard error; on a console, as its characters.
void write_error(const char *text);

// A lock between the threads of this process.
#ifdef _WIN32
struct Mutex {
    void *word; // an SRWLOCK
};
#define LPT_MUTEX_INITIALIZER                                                                      \
    {                                                                                              \
        nullptr                                                                                    \
    }
#else
struct Mutex {
    pthread_mutex_t mutex;
};
#define LPT_MUTEX_INITIALIZER                                                                      \
    {                                                                                              \
        PTHREAD_MUTEX_INITIALIZER                                                                  \
    }
#endif
void lock(Mutex *mutex);
// False when another thread holds it.
bool try_lock(Mutex *mutex);
void unlock(Mutex *mutex);
// Waiting, with a Mutex, for another thread to change what it guards.
#ifdef _WIN32
struct Condition {
    void *word; // a CONDITION_VARIABLE
};
#define LPT_CONDITION_INITIALIZER                                                                  \
    {                                                                                              \
        nullptr                                                                                    \
    }
#else
struct Condition {
    pthread_cond_t condition;
};
#define LPT_CONDITION_INITIALIZER                                                                  \
    {                                                                                              \
        PTHREAD_COND_INITIALIZER                                                                   \
    }
#endif
// Releases the mutex while asleep; it is held again on return.
void wait(Condition *condition, Mutex *mutex);
void wake_all(Condition *condition);
// Handlers around a fork of the process, where there is fork.
void at_fork(void (*before)(), void (*in_parent)(), void (*in_child)());

} // namespace os

#endif
