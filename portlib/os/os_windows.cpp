// The port library's files on Windows: found by their paths under the
// user's local application data folder, locked by a byte range. Paths are
// UTF-16 at every call, so that any name of the user's folders reaches the
// file system unchanged. The views, waiting, the clock and the boot time
// are in os_windows_memory.cpp.
#include "os.h"
#include "os_windows.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace os {
using windows::failed;
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

// The contents of a fresh file, written: a file only given its size has no
// blocks on some file systems (Wine's on Linux), and a full disk would fail
// the first access to its view instead of here.
bool fill(HANDLE h, uint64_t size)
{
    static const char zeros[4096] = {};
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    for (uint64_t done = 0; done < size;) {
        const DWORD part =
            static_cast<DWORD>(size - done < sizeof zeros ? size - done : sizeof zeros);
        DWORD written = 0;
        if (!WriteFile(h, zeros, part, &written, nullptr) || written == 0) {
            if (GetLastError() == ERROR_SUCCESS) {
                SetLastError(ERROR_DISK_FULL);
            }
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

using windows::folder_is_a_file;
using windows::in_its_folder;
using windows::narrow;
using windows::Wide;
using windows::widen;

const unsigned long already_exists = ERROR_ALREADY_EXISTS;

void error_text(unsigned long code, char *text, size_t size)
{
    wchar_t wide[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, wide, sizeof wide / sizeof wide[0], nullptr);
    narrow(wide, text, size);
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

// What open_file says of a file reached through a link that the system
// followed: removing it would remove what it leads to.
bool is_followed_link(const Error &error)
{
    return error.code == ERROR_CANT_RESOLVE_FILENAME;
}

bool is_mapped_elsewhere(const Error &error)
{
    return error.code == ERROR_USER_MAPPED_FILE;
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
    Wide wide;
    HANDLE h = widen(path, &wide) ? CreateFileW(wide.text, rights, share_all, nullptr,
                                                access == create ? OPEN_ALWAYS : OPEN_EXISTING,
                                                open_flags, nullptr)
                                  : INVALID_HANDLE_VALUE;
    file->handle = h;
    error->call = "CreateFile";
    if (h == INVALID_HANDLE_VALUE) {
        failed(error, "CreateFile");
        if (error->code == ERROR_PATH_NOT_FOUND && folder_is_a_file(wide.text)) {
            error->code = ERROR_DIRECTORY;
        }
        return false;
    }
    if (!in_its_folder(h, wide.text)) {
        CloseHandle(h);
        file->handle = INVALID_HANDLE_VALUE;
        error->code = ERROR_CANT_RESOLVE_FILENAME;
        return false;
    }
    return true;
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
    Wide wide;
    DWORD attributes = widen(path, &wide) ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *code = GetLastError();
        *final = *code != ERROR_FILE_NOT_FOUND;
        return !*final;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(wide.text, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A link to a folder is removed as a folder; the folder it names stays.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW(wide.text)
                                              : DeleteFileW(wide.text)) {
        return true;
    }
    *code = GetLastError();
    return false;
}

bool move_aside(File, const char *, const char *path, const char *suffix, unsigned long *code)
{
    // The path's own length and more: a shorter copy would name another file.
    const size_t size = strlen(path) + strlen(suffix) + 1;
    char *aside = static_cast<char *>(malloc(size));
    Wide wide, wide_aside;
    if (aside != nullptr) {
        snprintf(aside, size, "%s%s", path, suffix);
    }
    const bool moved = aside != nullptr && widen(path, &wide) && widen(aside, &wide_aside) &&
                       MoveFileW(wide.text, wide_aside.text);
    *code = moved ? 0 : aside != nullptr ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    free(aside);
    return moved;
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
    Wide wide;
    HANDLE h = widen(path, &wide) ? CreateFileW(wide.text, 0, share_all, nullptr, OPEN_EXISTING,
                                                open_flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                                  : INVALID_HANDLE_VALUE;
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

bool hold_byte(File file, uint64_t offset)
{
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return LockFileEx(handle(file), LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) != 0;
}

bool byte_held(File file, uint64_t offset)
{
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (LockFileEx(handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &where)) {
        UnlockFileEx(handle(file), 0, 1, 0, &where);
        return false;
    }
    return GetLastError() == ERROR_LOCK_VIOLATION;
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

// A file of ours of the right size had its contents written when it was
// made.
bool reserve(File file, uint64_t size, bool fresh, Error *error)
{
    return !fresh || fill(handle(file), size) || failed(error, "WriteFile");
}

} // namespace os
