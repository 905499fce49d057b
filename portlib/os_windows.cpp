// The port library's files on Windows: found by their paths under the
// user's local application data folder, locked by a byte range. The views,
// waiting, the clock and the boot time are in os_windows_memory.cpp.
#include "os.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace os {
namespace {

// The lock is a byte far beyond the file's end, so that it never stands in
// the way of reading or writing the file itself.
const DWORD lock_offset_high = 0x40000000;
const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The link itself, never what it points to.
const DWORD open_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

HANDLE handle(File file)
{
    return static_cast<HANDLE>(file.handle);
}

bool failed(Error *error, const char *call)
{
    *error = Error{call, GetLastError()};
    return false;
}

} // namespace

const unsigned long already_exists = ERROR_ALREADY_EXISTS;

void error_text(unsigned long code, char *text, size_t size)
{
    text[0] = '\0';
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, static_cast<DWORD>(size), nullptr);
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    if (n == 0) {
        snprintf(text, size, "error %lu", code);
    }
}

bool is_absent(const Error &error)
{
    return error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND;
}

bool is_denied(const Error &error)
{
    return error.code == ERROR_ACCESS_DENIED;
}

bool is_in_the_way(const Error &error)
{
    // A folder, a read-only file: replaced. Anything else is final.
    return error.code == ERROR_ACCESS_DENIED || error.code == ERROR_CANT_ACCESS_FILE;
}

bool default_state_folder(char *path, size_t size)
{
    const char *local = getenv("LOCALAPPDATA");
    int n;
    if (local != nullptr && local[0] != '\0') {
        n = snprintf(path, size, "%s\\lpt-virtual", local);
    } else {
        // The user's own temporary folder, under the profile.
        char temp[MAX_PATH + 1];
        DWORD length = GetTempPathA(sizeof temp, temp);
        if (length == 0 || length >= sizeof temp) {
            return false;
        }
        n = snprintf(path, size, "%slpt-virtual", temp);
    }
    return n > 0 && static_cast<size_t>(n) < size;
}

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
    CreateDirectoryA(path, nullptr);
}

bool open_folder(const char *, File *folder, Error *)
{
    *folder = File();
    return true;
}

bool folder_info(File, FolderInfo *info, Error *)
{
    *info = FolderInfo{true, false, false};
    return true;
}

void open_to_owner(File) {}

bool open_file(File, const char *, const char *path, Access access, File *file, Error *error)
{
    const DWORD rights = access == read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    HANDLE h = CreateFileA(path, rights, share_all, nullptr,
                           access == create ? OPEN_ALWAYS : OPEN_EXISTING, open_flags, nullptr);
    file->handle = h;
    error->call = "CreateFile";
    return h != INVALID_HANDLE_VALUE || failed(error, "CreateFile");
}

bool file_info(File file, FileInfo *info)
{
    BY_HANDLE_FILE_INFORMATION by_handle;
    if (!GetFileInformationByHandle(handle(file), &by_handle)) {
        return false;
    }
    info->regular = (by_handle.dwFileAttributes &
                     (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    info->ours = true;         // the folder's rights keep others out
    info->private_mode = true; // and give the file the same
    info->links = by_handle.nNumberOfLinks;
    return true;
}

void make_private(File) {}

bool remove(File, const char *, const char *path, bool *final, unsigned long *code)
{
    *final = false;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *code = GetLastError();
        *final = *code != ERROR_FILE_NOT_FOUND;
        return !*final;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A link to a folder is removed as a folder; the folder it names stays.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryA(path) : DeleteFileA(path)) {
        return true;
    }
    *code = GetLastError();
    return false;
}

bool move_aside(File, const char *, const char *path, const char *suffix, unsigned long *code)
{
    char aside[600];
    snprintf(aside, sizeof aside, "%s%s", path, suffix);
    if (MoveFileA(path, aside)) {
        return true;
    }
    *code = GetLastError();
    return false;
}

void close(File file)
{
    if (file.handle != nullptr && handle(file) != INVALID_HANDLE_VALUE) {
        CloseHandle(handle(file));
    }
}

bool same_file(const char *path, File file)
{
    // Opened for nothing but its identity; a file being deleted refuses it.
    HANDLE h = CreateFileA(path, 0, share_all, nullptr, OPEN_EXISTING,
                           open_flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION at_path, opened;
    const bool same = GetFileInformationByHandle(h, &at_path) &&
                      GetFileInformationByHandle(handle(file), &opened) &&
                      at_path.dwVolumeSerialNumber == opened.dwVolumeSerialNumber &&
                      at_path.nFileIndexHigh == opened.nFileIndexHigh &&
                      at_path.nFileIndexLow == opened.nFileIndexLow;
    CloseHandle(h);
    return same;
}

Locking try_lock(File file, bool exclusive)
{
    OVERLAPPED where = {};
    where.OffsetHigh = lock_offset_high;
    if (LockFileEx(handle(file),
                   (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &where)) {
        return locked;
    }
    return GetLastError() == ERROR_LOCK_VIOLATION ? busy : lock_failed;
}

void unlock(File file)
{
    OVERLAPPED where = {};
    where.OffsetHigh = lock_offset_high;
    UnlockFileEx(handle(file), 0, 1, 0, &where);
}

bool file_size(File file, uint64_t *size, Error *error)
{
    LARGE_INTEGER current;
    if (!GetFileSizeEx(handle(file), &current)) {
        return failed(error, "GetFileSizeEx");
    }
    *size = static_cast<uint64_t>(current.QuadPart);
    return true;
}

bool set_size(File file, uint64_t size, Error *error)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return (SetFilePointerEx(handle(file), at, nullptr, FILE_BEGIN) &&
            SetEndOfFile(handle(file))) ||
           failed(error, "SetEndOfFile");
}

// Setting the size has reserved the disk space: a full disk failed there.
bool reserve(File, uint64_t, Error *)
{
    return true;
}

} // namespace os
