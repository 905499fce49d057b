// Paths on Windows: see os_windows.h. Also the folders: the state
// files' default one, and making them.
#include "os.h"
#include "os_windows.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace os {
namespace windows {
namespace {

// Where the system says a handle leads, in one form for all paths.
bool final_path(HANDLE h, wchar_t *path, DWORD size)
{
    const DWORD n = GetFinalPathNameByHandleW(h, path, size, FILE_NAME_NORMALIZED);
    return n > 0 && n < size;
}

} // namespace

bool widen(const char *utf8, Wide *wide)
{
    free(wide->text);
    wide->text = nullptr;
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (length == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    wide->text = static_cast<wchar_t *>(malloc(static_cast<size_t>(length) * sizeof(wchar_t)));
    if (wide->text == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide->text, length);
    return true;
}

void narrow(const wchar_t *wide, char *utf8, size_t size)
{
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, static_cast<int>(size), nullptr, nullptr) ==
        0) {
        utf8[0] = '\0';
    }
}

bool folder_is_a_file(const wchar_t *path)
{
    wchar_t prefix[600];
    wcsncpy(prefix, path, sizeof prefix / sizeof prefix[0] - 1);
    prefix[sizeof prefix / sizeof prefix[0] - 1] = L'\0';
    for (wchar_t *cut = prefix + wcslen(prefix); cut > prefix; --cut) {
        if (*cut != L'\\' && *cut != L'/') {
            continue;
        }
        *cut = L'\0';
        const DWORD attributes = GetFileAttributesW(prefix);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        }
    }
    return false;
}

bool in_its_folder(HANDLE file, const wchar_t *path)
{
    const wchar_t *name = path + wcslen(path);
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') {
        --name;
    }
    wchar_t folder[600], expected[700], found[700];
    const size_t length = static_cast<size_t>(name - path);
    if (length == 0 || length >= sizeof folder / sizeof folder[0]) {
        return true;
    }
    memcpy(folder, path, length * sizeof(wchar_t));
    folder[length] = L'\0';
    HANDLE h = CreateFileW(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool same = true;
    if (h != INVALID_HANDLE_VALUE && final_path(h, expected, 600) && final_path(file, found, 700)) {
        size_t n = wcslen(expected);
        if (n > 0 && expected[n - 1] != L'\\') {
            expected[n++] = L'\\';
        }
        expected[n] = L'\0';
        same = n + wcslen(name) < sizeof expected / sizeof expected[0] &&
               _wcsicmp(wcscat(expected, name), found) == 0;
    }
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    return same;
}

} // namespace windows

using windows::narrow;
using windows::Wide;
using windows::widen;

// The environment's own UTF-16: its ANSI copy would lose or change any
// letter outside the code page.
// Of any length the environment holds (32767 characters): a long path
// cut short would be no setting at all.
bool environment(const char *name, char *value, size_t size)
{
    Wide wide_name;
    if (!widen(name, &wide_name)) {
        return false;
    }
    const DWORD length = GetEnvironmentVariableW(wide_name.text, nullptr, 0);
    wchar_t *wide = length > 1 ? static_cast<wchar_t *>(malloc(length * sizeof(wchar_t))) : nullptr;
    const bool read =
        wide != nullptr && GetEnvironmentVariableW(wide_name.text, wide, length) + 1 == length;
    if (read) {
        narrow(wide, value, size);
    }
    free(wide);
    return read && value[0] != '\0' && strlen(value) + 1 < size;
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

bool library_folder(char *path, size_t size)
{
    HMODULE self = nullptr;
    wchar_t wide[600];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&library_folder), &self)) {
        return false;
    }
    const DWORD length = GetModuleFileNameW(self, wide, sizeof wide / sizeof wide[0]);
    if (length == 0 || length >= sizeof wide / sizeof wide[0]) {
        return false;
    }
    wchar_t *last = wcsrchr(wide, L'\\');
    if (last == nullptr) {
        return false;
    }
    *last = L'\0';
    narrow(wide, path, size);
    return path[0] != '\0';
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
