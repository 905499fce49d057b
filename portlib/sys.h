// What the port library needs from the operating system. The virtual port's
// logic, the backend table and the messages are written against this; each
// platform has one file that implements it.
#ifndef LPT_SYS_H
#define LPT_SYS_H

#include <stddef.h>
#include <stdint.h>

namespace vport {
struct Port;
}

namespace sys {

// Between the names of folders and files in a path.
extern const char separator_text[2];

// The folder of the state files: LPT_VIRTUAL_DIR, else lpt-virtual under
// XDG_RUNTIME_DIR, else a folder of this user's in the temporary folder.
bool state_folder(char *path, size_t size);

enum Opened {
    opened,
    missing, // no state file (only when not creating)
    refused, // why says why
};
// Opens and maps the state file at port->path for `size` bytes, the folder
// and file checked to be this user's own. With `create`: the folder is made
// as needed, anything in the file's place that is not a plain file of ours
// is replaced, its blocks are reserved, and *fresh tells that its contents
// must be rebuilt. Returns with the file locked (exclusively when creating)
// so that checking and rebuilding are one step; unlock() ends that.
Opened open_state(vport::Port *port, size_t size, bool create, bool *fresh, char *why,
                  size_t why_size);
void unlock(vport::Port *port);
void close_state(vport::Port *port, size_t size);
// The file at the port's path is no longer the one mapped.
bool replaced(const vport::Port *port);
// An access to the mapping found no file behind it since the last call.
bool faulted(const vport::Port *port);

// 16 bytes naming this boot of the machine; false when unknown.
bool boot_id(uint8_t id[16]);
// Whether two boot ids name the same boot.
bool same_boot(const uint8_t a[16], const uint8_t b[16]);
uint64_t monotonic_ns();
uint32_t process_id();
void wake(uint32_t *word);
void wait(uint32_t *word, uint32_t seen, int timeout_ms);
void sleep_ms(int ms);

void *allocate(size_t size); // zeroed; nullptr when out of memory
void release(void *memory);

// Writes UTF-8 text to standard error; on a console, as its characters.
void write_error(const char *text);

// True the first time this process asks, also when the library was
// unloaded and loaded again since.
bool first_time_in_process();

// The library's one lock around its table of ports.
void lock_ports();
// False when another thread holds it.
bool try_lock_ports();
void unlock_ports();

} // namespace sys

#endif
