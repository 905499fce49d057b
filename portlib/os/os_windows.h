// What the os_windows files share: a failed call recorded the one way, and
// the paths, UTF-8 inside the library, UTF-16 at every call of the system,
// so that any name of the user's folders reaches the file system unchanged;
// and where a handle really leads; the thread's word. For the Windows files
// only.
#ifndef LPT_OS_WINDOWS_H
#define LPT_OS_WINDOWS_H

#include "os.h"

#include <stddef.h>
#include <stdlib.h>
#include <windows.h>

namespace os {
namespace windows {

// Records the call that failed with the system's reason; always false.
inline bool failed(Error *error, const char *call)
{
    *error = Error{call, GetLastError()};
    return false;
}

// On the heap, as long as the text: a path may be as long as Windows takes
// (a long \\?\ path, or a few hundred letters that are three bytes each in
// UTF-8), and a shorter copy would name another file or none.
struct Wide {
    wchar_t *text = nullptr;
    Wide() = default;
    Wide(const Wide &) = delete;
    Wide &operator=(const Wide &) = delete;
    ~Wide() { free(text); }
};
// False (ERROR_INVALID_NAME) for text that is no UTF-8, ERROR_NOT_ENOUGH_MEMORY
// when there is no room for it.
bool widen(const char *utf8, Wide *wide);
void narrow(const wchar_t *wide, char *utf8, size_t size);
// The same in memory of its own (free it); nullptr when out of memory.
char *narrowed(const wchar_t *wide);
// This library's own module, found by an address within it; nullptr where
// the system cannot say.
HMODULE own_module();
// The folder of this library's own file, for the files that sit beside it.
bool library_folder(char *path, size_t size);
// Whether the nearest existing folder on the path is in fact a file: the
// path can then never be made, which is no port never written.
bool folder_is_a_file(const wchar_t *path);
// Whether the file's folder, by its own path, leads to `file` under its
// name: a link in the file's place leads elsewhere, also where the file
// system (Wine's on Linux) shows links as plain files. Where the system
// cannot say (a volume without a drive letter), the answer is yes.
bool in_its_folder(HANDLE file, const wchar_t *path);
// A word of the calling thread's own, 0 until it sets it: whether the
// thread is inside the library already, so that a call that comes back on
// the same thread never waits on a lock that thread holds. Only Windows
// runs code not ours inside an access (the hardware's own library).
uintptr_t thread_word();
void set_thread_word(uintptr_t value);

} // namespace windows
} // namespace os

#endif
