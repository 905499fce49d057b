// The port library's views of files on Windows, a named event per file for
// watchers, the clock, the boot time and the process.
//
// No fault guard here: Windows refuses to shrink a file while any process
// has a view of it mapped (SetEndOfFile fails), so the accesses that POSIX
// must catch cannot happen. The state files live on a local disk, where a
// view does not lose its file in any other way.
#include "os.h"
#include "console_text.h"
#include "mapping_table.h"
#include "os_windows.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

namespace os {
using windows::failed;
namespace {

// Two processes compute the boot time a few milliseconds apart; two boots
// are always further apart than this.
const LONGLONG boot_tolerance_100ns = 5 * 10000000LL;

// ---- the mappings and their events --------------------------------------
// A watcher sleeps on a named event of the state file, named after the
// file's identity so that every process that maps the file finds the same
// one. Writers open it only when a watcher has marked itself waiting, so a
// write costs nothing more while nobody watches.

struct Event {
    HANDLE handle; // opened when first needed
    char name[64];
};
MappingTable<Event> mappings;
SRWLOCK mappings_lock = SRWLOCK_INIT;

// The event of the mapping that holds `word`: opened only if it exists
// (a writer), or created (a watcher). nullptr when there is none.
HANDLE event_for(const uint32_t *word, bool create)
{
    HANDLE event = nullptr;
    AcquireSRWLockExclusive(&mappings_lock);
    MappingTable<Event>::Entry *m = mappings.find(word);
    if (m != nullptr) {
        if (m->extra.handle == nullptr) {
            m->extra.handle =
                create ? CreateEventA(nullptr, TRUE, FALSE, m->extra.name)
                       : OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, m->extra.name);
        }
        event = m->extra.handle;
    }
    ReleaseSRWLockExclusive(&mappings_lock);
    return event;
}

} // namespace

bool map(File file, size_t size, bool writable, Mapping *mapping, Error *error)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(static_cast<HANDLE>(file.handle), &info)) {
        return failed(error, "GetFileInformationByHandle");
    }
    HANDLE section = CreateFileMappingA(static_cast<HANDLE>(file.handle), nullptr,
                                        writable ? PAGE_READWRITE : PAGE_READONLY, 0,
                                        static_cast<DWORD>(size), nullptr);
    if (section == nullptr) {
        return failed(error, "CreateFileMapping");
    }
    void *view = MapViewOfFile(section, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, size);
    const bool ok = view != nullptr || failed(error, "MapViewOfFile");
    CloseHandle(section); // the view keeps it
    if (!ok) {
        return false;
    }
    // Local\: the user's logon session, where the same user's programs meet.
    Event event = {nullptr, ""};
    snprintf(event.name, sizeof event.name, "Local\\lpt-virtual-%08lx-%08lx%08lx",
             static_cast<unsigned long>(info.dwVolumeSerialNumber),
             static_cast<unsigned long>(info.nFileIndexHigh),
             static_cast<unsigned long>(info.nFileIndexLow));
    AcquireSRWLockExclusive(&mappings_lock);
    *mapping = Mapping{view, size, mappings.add(view, size, event)};
    ReleaseSRWLockExclusive(&mappings_lock);
    return true;
}

void unmap(Mapping *mapping)
{
    if (mapping->slot >= 0) {
        AcquireSRWLockExclusive(&mappings_lock);
        HANDLE event = mappings.entries[mapping->slot].extra.handle;
        if (event != nullptr) {
            CloseHandle(event);
        }
        mappings.remove(mapping->slot);
        ReleaseSRWLockExclusive(&mappings_lock);
    }
    UnmapViewOfFile(mapping->view);
    *mapping = Mapping();
}

bool faulted(const Mapping &)
{
    return false;
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

uint64_t coarse_ms()
{
    return GetTickCount64();
}

bool process_alive(uint32_t pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        // Denied: it runs, as another user's or at a higher level.
        return pid != 0 && GetLastError() == ERROR_ACCESS_DENIED;
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

void write_error(const char *text)
{
    static wchar_t wide[2400];
    if (fflush(stderr) == 0 &&
        console_text::write(GetStdHandle(STD_ERROR_HANDLE), text, strlen(text), wide,
                            sizeof wide / sizeof wide[0])) {
        return;
    }
    // At once: the C runtime may hold it back until the program ends, and
    // a program that is killed would never show it.
    fputs(text, stderr);
    fflush(stderr);
}

static_assert(sizeof(Mutex) == sizeof(SRWLOCK), "a Mutex holds an SRWLOCK");

void lock(Mutex *mutex)
{
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(mutex));
}

bool try_lock(Mutex *mutex)
{
    return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(mutex)) != 0;
}

void unlock(Mutex *mutex)
{
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(mutex));
}

static_assert(sizeof(Condition) == sizeof(CONDITION_VARIABLE), "a Condition is one");

void wait(Condition *condition, Mutex *mutex)
{
    SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(condition),
                              reinterpret_cast<PSRWLOCK>(mutex), INFINITE, 0);
}

void wake_all(Condition *condition)
{
    WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(condition));
}

namespace {
// Taken as the library is loaded, before any thread of the host can call
// it; without one (all slots taken) every thread reads 0.
const DWORD thread_slot = TlsAlloc();
__attribute__((destructor)) void free_thread_slot()
{
    if (thread_slot != TLS_OUT_OF_INDEXES) {
        TlsFree(thread_slot);
    }
}
} // namespace

uintptr_t windows::thread_word()
{
    return thread_slot != TLS_OUT_OF_INDEXES ? reinterpret_cast<uintptr_t>(TlsGetValue(thread_slot))
                                             : 0;
}

void windows::set_thread_word(uintptr_t value)
{
    if (thread_slot != TLS_OUT_OF_INDEXES) {
        TlsSetValue(thread_slot, reinterpret_cast<void *>(value));
    }
}

// Windows has no fork.
void at_fork(void (*)(), void (*)(), void (*)()) {}

} // namespace os
