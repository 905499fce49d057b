// Paths on Windows: see os_windows.h. Also the folders: the state
// files' default one, and making them.
#include "os.h"
#include "os_windows.h"
#include "utf16.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace os {
namespace windows {
namespace {

// Where the system says a handle leads, in one form for all paths, of any
// length, in memory of its own (free it), with room for `extra` units more.
wchar_t *final_path(HANDLE h, size_t extra)
{
    const DWORD size = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
    wchar_t *path =
        size > 0 ? static_cast<wchar_t *>(malloc((size + extra) * sizeof(wchar_t))) : nullptr;
    if (path != nullptr && GetFinalPathNameByHandleW(h, path, size, FILE_NAME_NORMALIZED) >= size) {
        free(path);
        path = nullptr;
    }
    return path;
}

} // namespace

namespace {

// The UTF-8 bytes of a wide text, without its NUL; nullptr `utf8` counts.
size_t put_narrow(const wchar_t *wide, char *utf8)
{
    return utf16_to_utf8([&](size_t i) { return static_cast<uint32_t>(wide[i]); }, wcslen(wide),
                         utf8);
}

} // namespace

bool widen(const char *utf8, Wide *wide)
{
    free(wide->text);
    wide->text = nullptr;
    const size_t length = utf8_to_utf16(utf8, strlen(utf8), static_cast<wchar_t *>(nullptr));
    if (length == static_cast<size_t>(-1)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    wide->text = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
    if (wide->text == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    utf8_to_utf16(utf8, strlen(utf8), wide->text);
    wide->text[length] = L'\0';
    return true;
}

void narrow(const wchar_t *wide, char *utf8, size_t size)
{
    // Cut short, a name would be another: none rather than part of it.
    const size_t length = put_narrow(wide, nullptr);
    if (length >= size) {
        if (size > 0) {
            utf8[0] = '\0';
        }
        return;
    }
    put_narrow(wide, utf8);
    utf8[length] = '\0';
}

char *narrowed(const wchar_t *wide)
{
    const size_t length = put_narrow(wide, nullptr);
    char *text = static_cast<char *>(malloc(length + 1));
    if (text != nullptr) {
        put_narrow(wide, text);
        text[length] = '\0';
    }
    return text;
}

HMODULE own_module()
{
    HMODULE self = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&own_module), &self)
               ? self
               : nullptr;
}

bool folder_is_a_file(const wchar_t *path)
{
    wchar_t *prefix = _wcsdup(path);
    bool file = false;
    for (wchar_t *cut = prefix != nullptr ? prefix + wcslen(prefix) : nullptr; cut > prefix;
         --cut) {
        if (*cut != L'\\' && *cut != L'/') {
            continue;
        }
        *cut = L'\0';
        const DWORD attributes = GetFileAttributesW(prefix);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            file = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
            break;
        }
    }
    free(prefix);
    return file;
}

bool in_its_folder(HANDLE file, const wchar_t *path)
{
    const wchar_t *name = path + wcslen(path);
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') {
        --name;
    }
    const size_t length = static_cast<size_t>(name - path);
    wchar_t *folder = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
    if (length == 0 || folder == nullptr) {
        free(folder);
        return true;
    }
    memcpy(folder, path, length * sizeof(wchar_t));
    folder[length] = L'\0';
    HANDLE h = CreateFileW(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    free(folder);
    wchar_t *expected = h != INVALID_HANDLE_VALUE ? final_path(h, wcslen(name) + 2) : nullptr;
    wchar_t *found = expected != nullptr ? final_path(file, 0) : nullptr;
    bool same = true;
    if (found != nullptr) {
        size_t n = wcslen(expected);
        if (n > 0 && expected[n - 1] != L'\\') {
            expected[n++] = L'\\';
            expected[n] = L'\0';
        }
        same = _wcsicmp(wcscat(expected, name), found) == 0;
    }
    free(expected);
    free(found);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    return same;
}

} // namespace windows

using windows::narrow;
using windows::narrowed;
using windows::Wide;
using windows::widen;

// The environment's own UTF-16: its ANSI copy would lose or change any
// letter outside the code page.
char *environment_copy(const char *name)
{
    Wide wide_name;
    if (!widen(name, &wide_name)) {
        return nullptr;
    }
    const DWORD length = GetEnvironmentVariableW(wide_name.text, nullptr, 0);
    wchar_t *wide = length > 1 ? static_cast<wchar_t *>(malloc(length * sizeof(wchar_t))) : nullptr;
    char *value = nullptr;
    if (wide != nullptr && GetEnvironmentVariableW(wide_name.text, wide, length) + 1 == length) {
        value = narrowed(wide);
    }
    free(wide);
    return value;
}

bool environment(const char *name, char *value, size_t size)
{
    char *copy = environment_copy(name);
    const bool fits = copy != nullptr && strlen(copy) < size;
    if (fits) {
        memcpy(value, copy, strlen(copy) + 1);
    }
    free(copy);
    return fits;
}

const bool names_ignore_case = true;

// The environment's own UTF-16, as for environment(); the C runtime's copy
// may not even be there in a program without an ANSI main.
void each_environment(bool (*each)(const char *entry, void *context), void *context)
{
    wchar_t *block = GetEnvironmentStringsW();
    if (block == nullptr) {
        return;
    }
    char entry[1200];
    for (const wchar_t *at = block; *at != L'\0'; at += wcslen(at) + 1) {
        narrow(at, entry, sizeof entry);
        if (each(entry, context)) {
            break;
        }
    }
    FreeEnvironmentStringsW(block);
}

bool windows::library_folder(char *path, size_t size)
{
    HMODULE self = windows::own_module();
    if (self == nullptr) {
        return false;
    }
    // Any length the system gives, as a folder of a few hundred letters is
    // a plain one (a buffer that cuts it short leaves no folder at all).
    wchar_t *wide = nullptr;
    bool whole = false;
    for (DWORD room = MAX_PATH + 1; !whole && room <= 32768 * 2; room *= 2) {
        free(wide);
        wide = static_cast<wchar_t *>(malloc(room * sizeof(wchar_t)));
        const DWORD length = wide != nullptr ? GetModuleFileNameW(self, wide, room) : 0;
        whole = length > 0 && length < room;
    }
    wchar_t *last = whole ? wcsrchr(wide, L'\\') : nullptr;
    if (last != nullptr) {
        *last = L'\0';
        narrow(wide, path, size);
    }
    free(wide);
    return last != nullptr && path[0] != '\0';
}

bool read_start(const char *path, void *buffer, size_t size, size_t *length, Error *error)
{
    *length = 0;
    Wide wide;
    if (!widen(path, &wide)) {
        *error = Error{"CreateFile", ERROR_INVALID_NAME};
        return false;
    }
    HANDLE file = CreateFileW(wide.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return windows::failed(error, "CreateFile");
    }
    DWORD got = 0;
    const bool ok = GetFileType(file) == FILE_TYPE_DISK &&
                    ReadFile(file, buffer, static_cast<DWORD>(size), &got, nullptr);
    if (!ok) {
        windows::failed(error, "ReadFile");
    }
    CloseHandle(file);
    *length = got;
    return ok;
}

bool default_state_folder(char *path, size_t size)
{
    char local[1200];
    int n;
    if (environment("LOCALAPPDATA", local, sizeof local)) {
        n = snprintf(path, size, "%s\\lpt-virtual", local);
    } else {
        // The user's own temporary folder, under the profile.
        wchar_t wide[MAX_PATH + 1];
        char temp[3 * MAX_PATH + 1];
        DWORD length = GetTempPathW(sizeof wide / sizeof wide[0], wide);
        if (length == 0 || length >= sizeof wide / sizeof wide[0]) {
            return false;
        }
        narrow(wide, temp, sizeof temp);
        n = snprintf(path, size, "%slpt-virtual", temp);
    }
    return n > 0 && static_cast<size_t>(n) < size;
}

const char separator[] = "\\";

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

// Past a drive ("C:\") or a share ("\\server\share\"): those are never made.
size_t root_length(const char *path)
{
    const size_t length = strlen(path);
    size_t start = 1;
    if (length >= 2 && path[1] == ':') {
        start = 3;
    } else if (length >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        int seen = 0;
        for (start = 2; start < length && seen < 2; ++start) {
            seen += is_separator(path[start]);
        }
    }
    return start;
}

// A new folder inherits the access rights of its parent: under the local
// application data folder, only the user (and the system) may enter it.
void make_folder(const char *path)
{
    Wide wide;
    if (widen(path, &wide)) {
        CreateDirectoryW(wide.text, nullptr);
    }
}

} // namespace os
