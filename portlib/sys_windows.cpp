// The operating-system side of the port library on Windows: the state files
// under the user's local application data folder, their mappings and locks,
// a named event per file for watchers, the clock and the boot id.
//
// No fault guard here: Windows refuses to shrink a file while any process
// has a view of it mapped (SetEndOfFile fails), so the accesses that POSIX
// must catch cannot happen. The state files live on a local disk, where a
// view does not lose its file in any other way.
#include "sys.h"
#include "vport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace sys {
namespace {

// How long an open waits for another process's lock before giving up: long
// enough for any rebuild, short enough not to stall the program.
const int lock_wait_ms = 200;
// The lock is a byte far beyond the file's end, so that it never stands in
// the way of reading or writing the file itself.
const DWORD lock_offset_high = 0x40000000;
// Two processes compute the boot time a few milliseconds apart; two boots
// are always further apart than this.
const LONGLONG boot_tolerance_100ns = 5 * 10000000LL;

// A file HANDLE kept in Port::fd: kernel handles carry 32 significant bits,
// also in 64-bit processes, so truncating and sign-extending them is safe.
HANDLE handle_of(const vport::Port *port)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(port->fd));
}

// Paths are UTF-8 inside the library and UTF-16 at the system's calls, so
// that any name the user's folders have reaches the file system unchanged.
struct Wide {
    wchar_t text[600];
};

bool widen(const char *utf8, Wide *wide)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide->text,
                                      static_cast<int>(sizeof wide->text / sizeof(wchar_t)));
    if (n == 0) {
        wide->text[0] = L'\0';
        SetLastError(ERROR_INVALID_NAME);
    }
    return n != 0;
}

bool narrow(const wchar_t *wide, char *utf8, size_t size)
{
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, static_cast<int>(size), nullptr, nullptr);
    if (n == 0 && size > 0) {
        utf8[0] = '\0';
    }
    return n != 0;
}

void failed(char *why, size_t size, const char *call, const char *path, DWORD error)
{
    wchar_t wide[256] = L"";
    char text[512] = "";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   wide, sizeof wide / sizeof wide[0], nullptr);
    narrow(wide, text, sizeof text);
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    if (n == 0) {
        snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(error));
    }
    snprintf(why, size, "%s(%s) failed: %s", call, path, text);
}

// ---- the mappings and their events --------------------------------------
// A watcher sleeps on a named event of the state file, named after the
// file's identity so that every process that maps the file finds the same
// one. Writers open it only when a watcher has marked itself waiting, so a
// write costs nothing more while nobody watches.

struct Mapping {
    uintptr_t start; // 0: free
    size_t length;
    HANDLE event; // opened when first needed
    char name[64];
};
Mapping mappings[64];
SRWLOCK mappings_lock = SRWLOCK_INIT;

int add_mapping(void *start, size_t length, const BY_HANDLE_FILE_INFORMATION &info)
{
    AcquireSRWLockExclusive(&mappings_lock);
    int index = -1;
    for (int i = 0; i < static_cast<int>(sizeof mappings / sizeof mappings[0]); ++i) {
        if (mappings[i].start == 0) {
            index = i;
            break;
        }
    }
    if (index >= 0) {
        Mapping &m = mappings[index];
        m.start = reinterpret_cast<uintptr_t>(start);
        m.length = length;
        m.event = nullptr;
        // Local\: the user's logon session, where the same user's programs meet.
        snprintf(m.name, sizeof m.name, "Local\\lpt-virtual-%08lx-%08lx%08lx",
                 static_cast<unsigned long>(info.dwVolumeSerialNumber),
                 static_cast<unsigned long>(info.nFileIndexHigh),
                 static_cast<unsigned long>(info.nFileIndexLow));
    }
    ReleaseSRWLockExclusive(&mappings_lock);
    return index;
}

void remove_mapping(int index)
{
    if (index < 0) {
        return;
    }
    AcquireSRWLockExclusive(&mappings_lock);
    if (mappings[index].event != nullptr) {
        CloseHandle(mappings[index].event);
    }
    mappings[index] = Mapping();
    ReleaseSRWLockExclusive(&mappings_lock);
}

// The event of the mapping that holds `word`: opened only if it exists
// (a writer), or created (a watcher). nullptr when there is none.
HANDLE event_for(const uint32_t *word, bool create)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(word);
    HANDLE event = nullptr;
    AcquireSRWLockExclusive(&mappings_lock);
    for (Mapping &m : mappings) {
        if (m.start != 0 && at - m.start < m.length) {
            if (m.event == nullptr) {
                m.event = create ? CreateEventA(nullptr, TRUE, FALSE, m.name)
                                 : OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, m.name);
            }
            event = m.event;
            break;
        }
    }
    ReleaseSRWLockExclusive(&mappings_lock);
    return event;
}

// ---- the folder and the file -----------------------------------------------

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

// Creates the folder and any missing parents. A new folder inherits the
// access rights of its parent: under the local application data folder,
// only the user (and the system) may enter it.
void make_folders(const char *path)
{
    char prefix[512];
    size_t length = strlen(path);
    if (length >= sizeof prefix) {
        return;
    }
    memcpy(prefix, path, length + 1);
    // Past a drive ("C:\") or a share ("\\server\share\"): those are never made.
    size_t start = 1;
    if (length >= 2 && prefix[1] == ':') {
        start = 3;
    } else if (length >= 2 && is_separator(prefix[0]) && is_separator(prefix[1])) {
        int seen = 0;
        for (start = 2; start < length && seen < 2; ++start) {
            seen += is_separator(prefix[start]);
        }
    }
    for (size_t i = start; i <= length; ++i) {
        if (!is_separator(prefix[i]) && prefix[i] != '\0') {
            continue;
        }
        const char kept = prefix[i];
        prefix[i] = '\0';
        Wide wide;
        if (widen(prefix, &wide)) {
            CreateDirectoryW(wide.text, nullptr);
        }
        prefix[i] = kept;
    }
}

// Removes whatever is in the state file's place: a folder that is not
// empty is moved aside, so that nothing of the user's is deleted.
bool clear_place(const char *path)
{
    Wide wide;
    if (!widen(path, &wide)) {
        return false;
    }
    DWORD attributes = GetFileAttributesW(wide.text);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(wide.text, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A link to a folder is removed as a folder; the folder it names stays.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW(wide.text)
                                              : DeleteFileW(wide.text)) {
        return true;
    }
    char aside[600];
    Wide wide_aside;
    snprintf(aside, sizeof aside, "%s.moved-aside-%lu", path,
             static_cast<unsigned long>(GetCurrentProcessId()));
    return widen(aside, &wide_aside) && MoveFileW(wide.text, wide_aside.text) != 0;
}

// Whether the nearest existing folder on the path is in fact a file: the
// path can then never be made, and is not a port never written.
bool folder_is_a_file(const char *path)
{
    char prefix[512];
    snprintf(prefix, sizeof prefix, "%s", path);
    for (;;) {
        char *cut = prefix + strlen(prefix);
        while (cut > prefix && !is_separator(*cut)) {
            --cut;
        }
        if (cut == prefix) {
            return false;
        }
        *cut = '\0';
        Wide wide;
        const DWORD attributes =
            widen(prefix, &wide) ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        }
    }
}

const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The link itself, never what it points to.
const DWORD open_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

// Where the system says a handle leads, as a path of one form for all.
bool final_path(HANDLE h, wchar_t *path, DWORD size)
{
    const DWORD n = GetFinalPathNameByHandleW(h, path, size, FILE_NAME_NORMALIZED);
    return n > 0 && n < size;
}

// Whether the folder's own path leads to `file` under `name`: a link in
// the file's place leads elsewhere, also where the file system (Wine's on
// Linux) shows links as plain files. Where the system cannot say (a volume
// without a drive letter), the file's attributes alone decide.
bool in_its_folder(HANDLE file, const wchar_t *path)
{
    const wchar_t *name = path + wcslen(path);
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') {
        --name;
    }
    wchar_t folder[600];
    const size_t length = static_cast<size_t>(name - path);
    if (length == 0 || length >= sizeof folder / sizeof folder[0]) {
        return true; // a file in the current folder: nothing to compare
    }
    memcpy(folder, path, length * sizeof(wchar_t));
    folder[length] = L'\0';
    HANDLE h = CreateFileW(folder, 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    wchar_t expected[700], found[700];
    bool same = true;
    if (h != INVALID_HANDLE_VALUE && final_path(h, expected, 600) && final_path(file, found, 700)) {
        size_t n = wcslen(expected);
        if (n > 0 && expected[n - 1] != L'\\') {
            expected[n++] = L'\\';
        }
        if (n + wcslen(name) < sizeof expected / sizeof expected[0]) {
            wcscpy(expected + n, name);
            same = _wcsicmp(expected, found) == 0;
        }
    }
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    return same;
}

enum Kind {
    ours,
    not_ours, // replaced
    elsewhere // left alone
};

Kind kind_of(HANDLE h, const wchar_t *path, BY_HANDLE_FILE_INFORMATION *info)
{
    if (!GetFileInformationByHandle(h, info)) {
        return not_ours;
    }
    // Reached through a link that the system followed: removing it would
    // remove what it leads to, so it is never touched.
    if (!in_its_folder(h, path)) {
        return elsewhere;
    }
    // A link would make us write into someone's other file.
    return (info->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                       0 &&
                   info->nNumberOfLinks == 1
               ? ours
               : not_ours;
}

void say_elsewhere(char *why, size_t size, const char *path)
{
    snprintf(why, size, "%s is a link to another file; delete the link", path);
}

HANDLE open_file(const char *path, bool create, bool *absent, bool *writable,
                 BY_HANDLE_FILE_INFORMATION *info, char *why, size_t size)
{
    Wide wide;
    if (!widen(path, &wide)) {
        failed(why, size, "CreateFile", path, GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    if (!create) {
        HANDLE h = CreateFileW(wide.text, GENERIC_READ | GENERIC_WRITE, share_all, nullptr,
                               OPEN_EXISTING, open_flags, nullptr);
        *writable = h != INVALID_HANDLE_VALUE;
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            h = CreateFileW(wide.text, GENERIC_READ, share_all, nullptr, OPEN_EXISTING, open_flags,
                            nullptr);
        }
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            *absent = error == ERROR_FILE_NOT_FOUND ||
                      (error == ERROR_PATH_NOT_FOUND && !folder_is_a_file(path));
            failed(why, size, "CreateFile", path, error);
        } else {
            const Kind kind = kind_of(h, wide.text, info);
            if (kind == elsewhere) {
                say_elsewhere(why, size, path);
            } else if (kind == not_ours) {
                snprintf(why, size, "%s is not a plain file of yours", path);
            }
            if (kind != ours) {
                CloseHandle(h);
                h = INVALID_HANDLE_VALUE;
            }
        }
        return h;
    }
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        HANDLE h = CreateFileW(wide.text, GENERIC_READ | GENERIC_WRITE, share_all, nullptr,
                               OPEN_ALWAYS, open_flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            const Kind kind = kind_of(h, wide.text, info);
            if (kind == ours) {
                *writable = true;
                return h;
            }
            CloseHandle(h);
            if (kind == elsewhere) {
                say_elsewhere(why, size, path);
                return INVALID_HANDLE_VALUE;
            }
            error = ERROR_ALREADY_EXISTS;
        } else {
            error = GetLastError();
            // A folder, a read-only file: replaced. Anything else is final.
            if (error != ERROR_ACCESS_DENIED && error != ERROR_CANT_ACCESS_FILE) {
                break;
            }
        }
        if (!clear_place(path)) {
            error = GetLastError();
            break;
        }
    }
    failed(why, size, "CreateFile", path, error);
    return INVALID_HANDLE_VALUE;
}

bool lock(HANDLE h, bool exclusive)
{
    const uint64_t deadline = monotonic_ns() + lock_wait_ms * 1000000ull;
    for (;;) {
        OVERLAPPED where = {};
        where.OffsetHigh = lock_offset_high;
        if (LockFileEx(h, (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY, 0,
                       1, 0, &where)) {
            return true;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION || monotonic_ns() > deadline) {
            return false;
        }
        Sleep(2);
    }
}

bool set_size(HANDLE h, LONGLONG size)
{
    LARGE_INTEGER at;
    at.QuadPart = size;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

SRWLOCK ports_lock = SRWLOCK_INIT;

// Writes the file's bytes: a file only given its size has no blocks on some
// file systems (Wine's on Linux), and a full disk would then fail the first
// access to the mapping instead of here.
bool fill(HANDLE h, size_t size)
{
    static const char zeros[4096] = {};
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    for (size_t done = 0; done < size;) {
        const DWORD part =
            static_cast<DWORD>(size - done < sizeof zeros ? size - done : sizeof zeros);
        DWORD written = 0;
        if (!WriteFile(h, zeros, part, &written, nullptr) || written != part) {
            if (GetLastError() == ERROR_SUCCESS) {
                SetLastError(ERROR_DISK_FULL);
            }
            return false;
        }
        done += written;
    }
    return true;
}

// A file of the wrong size that another program maps cannot be cut (Windows
// refuses while a view exists): it is marked as given up, so that programs
// that map it follow to the new file, and taken out of the way.
void retire(HANDLE h, const char *path, size_t size)
{
    HANDLE mapping =
        CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr);
    if (mapping != nullptr) {
        void *view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
        if (view != nullptr) {
            __atomic_store_n(&static_cast<vport::State *>(view)->magic, vport::retired_magic,
                             __ATOMIC_SEQ_CST);
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
    }
    char aside[600];
    snprintf(aside, sizeof aside, "%s.retired-%lu", path,
             static_cast<unsigned long>(GetCurrentProcessId()));
    Wide wide, wide_aside;
    if (widen(path, &wide) && widen(aside, &wide_aside) &&
        MoveFileExW(wide.text, wide_aside.text, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(wide_aside.text); // gone when the last program lets go of it
    }
}

} // namespace

const char separator_text[2] = "\\";

bool state_folder(char *path, size_t size)
{
    // The environment's own UTF-16: its ANSI copy would lose or change any
    // letter outside the code page.
    wchar_t chosen[600], local[600];
    const DWORD chosen_length =
        GetEnvironmentVariableW(L"LPT_VIRTUAL_DIR", chosen, sizeof chosen / sizeof chosen[0]);
    const DWORD local_length =
        GetEnvironmentVariableW(L"LOCALAPPDATA", local, sizeof local / sizeof local[0]);
    char folder[1200];
    const char *suffix = "";
    if (chosen_length > 0 && chosen_length < sizeof chosen / sizeof chosen[0]) {
        narrow(chosen, folder, sizeof folder);
    } else if (local_length > 0 && local_length < sizeof local / sizeof local[0]) {
        narrow(local, folder, sizeof folder);
        suffix = "\\lpt-virtual";
    } else {
        // The user's own temporary folder, under the profile.
        wchar_t temp[MAX_PATH + 1];
        DWORD length = GetTempPathW(sizeof temp / sizeof temp[0], temp);
        if (length == 0 || length >= sizeof temp / sizeof temp[0]) {
            return false;
        }
        narrow(temp, folder, sizeof folder);
        suffix = "lpt-virtual";
    }
    if (folder[0] == '\0') {
        return false;
    }
    int n = snprintf(path, size, "%s%s", folder, suffix);
    return n > 0 && static_cast<size_t>(n) < size;
}

Opened open_state(vport::Port *port, size_t size, bool create, bool *fresh, char *why,
                  size_t why_size)
{
    if (create) {
        char folder[512];
        snprintf(folder, sizeof folder, "%s", port->path);
        char *cut = folder + strlen(folder);
        while (cut > folder && !is_separator(*cut)) {
            --cut;
        }
        if (cut > folder) {
            *cut = '\0';
            make_folders(folder);
        }
    }
    for (int attempt = 0;; ++attempt) {
        bool absent = false, writable = false;
        BY_HANDLE_FILE_INFORMATION info;
        HANDLE h = open_file(port->path, create, &absent, &writable, &info, why, why_size);
        if (h == INVALID_HANDLE_VALUE) {
            return absent && !create ? missing : refused;
        }
        void *view = nullptr;
        LARGE_INTEGER current;
        if (!lock(h, create)) {
            snprintf(why, why_size, "%s is locked by another program", port->path);
        } else if (!GetFileSizeEx(h, &current)) {
            failed(why, why_size, "GetFileSizeEx", port->path, GetLastError());
        } else if (!create && current.QuadPart != static_cast<LONGLONG>(size)) {
            snprintf(why, why_size, "%s is damaged or of another version", port->path);
        } else {
            bool ok = true;
            if (create && current.QuadPart != static_cast<LONGLONG>(size)) {
                // Nothing of a file of another size is trusted.
                *fresh = true;
                const char *call = "SetEndOfFile";
                ok = set_size(h, 0) && set_size(h, static_cast<LONGLONG>(size)) &&
                     (call = "WriteFile", fill(h, size));
                const DWORD error = ok ? 0 : GetLastError();
                if (!ok && error == ERROR_USER_MAPPED_FILE && attempt == 0) {
                    retire(h, port->path, size);
                    CloseHandle(h);
                    continue;
                }
                if (!ok) {
                    char reason[700];
                    failed(reason, sizeof reason, call, port->path, error);
                    snprintf(why, why_size, "cannot reserve %s: %s", port->path, reason);
                }
            }
            if (ok) {
                HANDLE mapping =
                    CreateFileMappingA(h, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0,
                                       static_cast<DWORD>(size), nullptr);
                if (mapping == nullptr) {
                    failed(why, why_size, "CreateFileMapping", port->path, GetLastError());
                } else {
                    view = MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0,
                                         size);
                    if (view == nullptr) {
                        failed(why, why_size, "MapViewOfFile", port->path, GetLastError());
                    }
                    CloseHandle(mapping); // the view keeps it
                }
            }
        }
        if (view == nullptr) {
            CloseHandle(h); // also drops the lock
            return refused;
        }
        port->state = static_cast<vport::State *>(view);
        port->fd = static_cast<int>(reinterpret_cast<intptr_t>(h));
        port->shared = true;
        port->writable = writable;
        port->guard = add_mapping(view, size, info);
        return opened;
    }
}

void unlock(vport::Port *port)
{
    OVERLAPPED where = {};
    where.OffsetHigh = lock_offset_high;
    UnlockFileEx(handle_of(port), 0, 1, 0, &where);
}

void close_state(vport::Port *port, size_t)
{
    remove_mapping(port->guard);
    UnmapViewOfFile(port->state);
    CloseHandle(handle_of(port));
    port->guard = -1;
    port->fd = -1;
}

bool replaced(const vport::Port *port)
{
    // Opened for nothing but its identity; a file being deleted refuses it.
    Wide wide;
    HANDLE h = widen(port->path, &wide)
                   ? CreateFileW(wide.text, 0, share_all, nullptr, OPEN_EXISTING,
                                 open_flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                   : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION at_path, mapped;
    const bool same = GetFileInformationByHandle(h, &at_path) &&
                      GetFileInformationByHandle(handle_of(port), &mapped) &&
                      at_path.dwVolumeSerialNumber == mapped.dwVolumeSerialNumber &&
                      at_path.nFileIndexHigh == mapped.nFileIndexHigh &&
                      at_path.nFileIndexLow == mapped.nFileIndexLow;
    CloseHandle(h);
    return !same;
}

bool faulted(const vport::Port *)
{
    return false;
}

// The moment the machine started, as the system time now less the time
// since the start; both move together when the clock is set, so it stays
// the same through the boot, within a few milliseconds. A clock set by more
// than the tolerance counts as a new boot, and so does nothing else, not even
// a shutdown with fast startup, which resumes the same boot.
bool boot_id(uint8_t id[16])
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = GetTickCount64();
    const LONGLONG boot = static_cast<LONGLONG>(
        (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) - ticks * 10000);
    memset(id, 0, 16);
    memcpy(id, "boot", 4);
    memcpy(id + 8, &boot, sizeof boot);
    return true;
}

bool same_boot(const uint8_t a[16], const uint8_t b[16])
{
    if (memcmp(a, b, 8) != 0) {
        return false;
    }
    LONGLONG first, second;
    memcpy(&first, a + 8, sizeof first);
    memcpy(&second, b + 8, sizeof second);
    const LONGLONG apart = first > second ? first - second : second - first;
    return apart <= boot_tolerance_100ns;
}

uint64_t monotonic_ns()
{
    static LONGLONG frequency = 0;
    if (frequency == 0) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        frequency = f.QuadPart;
    }
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    // In two parts: the count times 10^9 would overflow after a few hours.
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    const uint64_t f = static_cast<uint64_t>(frequency);
    return c / f * 1000000000u + c % f * 1000000000u / f;
}

uint32_t process_id()
{
    return GetCurrentProcessId();
}

void wake(uint32_t *word)
{
    HANDLE event = event_for(word, false);
    if (event != nullptr) {
        SetEvent(event);
    }
}

void wait(uint32_t *word, uint32_t seen, int timeout_ms)
{
    // Alertable, as a signal ends the wait on POSIX: the watcher's Ctrl+C
    // handler queues a call to end it. Only watchers wait; the library in
    // someone's program never does.
    HANDLE event = event_for(word, true);
    if (event == nullptr) {
        SleepEx(timeout_ms < 100 ? timeout_ms : 100, TRUE);
        return;
    }
    // Reset before the last look: a write after it sets the event again.
    // Another watcher's reset can still swallow a wake-up; the timeout
    // bounds what that costs.
    ResetEvent(event);
    if (__atomic_load_n(word, __ATOMIC_SEQ_CST) != seen) {
        return;
    }
    WaitForSingleObjectEx(event, static_cast<DWORD>(timeout_ms), TRUE);
}

void sleep_ms(int ms)
{
    Sleep(static_cast<DWORD>(ms));
}

void *allocate(size_t size)
{
    return calloc(1, size);
}

void release(void *memory)
{
    free(memory);
}

void write_error(const char *text)
{
    // The console's code page would show any other letter of UTF-8 wrong.
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    wchar_t wide[2400];
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, sizeof wide / sizeof wide[0]);
    if (n > 1 && h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
        DWORD written = 0;
        fflush(stderr);
        if (WriteConsoleW(h, wide, static_cast<DWORD>(n - 1), &written, nullptr)) {
            return;
        }
    }
    fputs(text, stderr);
}

bool first_time_in_process()
{
    // The process's own atom table outlives the library's data: a host that
    // loads the library again and again is told once.
    const char name[] = "inpout32-virtual-port-notice";
    return FindAtomA(name) == 0 && AddAtomA(name) != 0;
}

void lock_ports()
{
    AcquireSRWLockExclusive(&ports_lock);
}

bool try_lock_ports()
{
    return TryAcquireSRWLockExclusive(&ports_lock) != 0;
}

void unlock_ports()
{
    ReleaseSRWLockExclusive(&ports_lock);
}

} // namespace sys
