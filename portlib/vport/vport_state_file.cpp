#include "vport_state_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace state_file {
namespace {

// How long an open waits for another process's lock before giving up: long
// enough for any rebuild, short enough not to stall the program.
const int lock_wait_ms = 200;

// "call(path) failed: reason", or the reason alone where the call goes unnamed.
void describe(char *why, size_t size, const os::Error &error, const char *path)
{
    char text[256];
    os::error_text(error.code, text, sizeof text);
    if (error.call != nullptr) {
        snprintf(why, size, "%s(%s) failed: %s", error.call, path, text);
    } else {
        snprintf(why, size, "%s", text);
    }
}

// Opens the folder; refuses one that others own or could change.
bool open_folder(const char *folder, bool create, os::File *opened, bool *absent, char *why,
                 size_t size)
{
    if (folder == nullptr) {
        snprintf(why, size, "out of memory");
        return false;
    }
    if (create) {
        make_folders(folder);
    }
    os::Error error;
    if (!os::open_folder(folder, opened, &error)) {
        *absent = os::is_absent(error);
        describe(why, size, error, folder);
        return false;
    }
    os::FolderInfo info;
    if (!os::folder_info(*opened, &info, &error)) {
        describe(why, size, error, folder);
    } else if (!info.ours) {
        snprintf(why, size,
                 "%s belongs to another user; set LPT_VIRTUAL_DIR to a folder of your own", folder);
    } else if (info.open_to_others) {
        snprintf(why, size, "%s is writable by others; run: chmod 700 %s", folder, folder);
    } else {
        if (create && info.shut_to_owner) {
            os::open_to_owner(*opened); // left unusable by a restrictive umask
        }
        return true;
    }
    os::close(*opened);
    return false;
}

bool plain_file_of_ours(os::File file, os::FileInfo *info)
{
    // A second link would make us write into someone's other file.
    return os::file_info(file, info) && info->regular && info->ours && info->links == 1;
}

// Removes whatever is in the state file's place: a folder that is not empty
// is moved aside, so that nothing of the user's is deleted.
bool clear_place(os::File folder, const char *name, const char *path, unsigned long *code)
{
    bool final = false;
    if (os::remove(folder, name, path, &final, code) || final) {
        return !final;
    }
    char suffix[40];
    snprintf(suffix, sizeof suffix, ".moved-aside-%lu",
             static_cast<unsigned long>(os::process_id()));
    return os::move_aside(folder, name, path, suffix, code);
}

// A link that the system follows also when removing it: what it leads to
// is the user's, so the link is named and nothing touched.
bool followed_link(const os::Error &error, const char *path, char *why, size_t size)
{
    if (os::is_followed_link(error)) {
        snprintf(why, size, "%s is a link to another file; delete the link", path);
        return true;
    }
    return false;
}

// Opens the state file; when creating, replaces what is in its way.
bool open_file(os::File folder, const char *name, const char *path, bool create, os::File *file,
               bool *absent, bool *writable, char *why, size_t size)
{
    os::Error error;
    os::FileInfo info;
    if (!create) {
        *writable = os::open_file(folder, name, path, os::read_write, file, &error);
        bool ok = *writable;
        if (!ok && os::is_denied(error)) {
            ok = os::open_file(folder, name, path, os::read_only, file, &error);
        }
        if (!ok) {
            *absent = os::is_absent(error);
            if (!followed_link(error, path, why, size)) {
                describe(why, size, error, path);
            }
        } else if (!plain_file_of_ours(*file, &info)) {
            snprintf(why, size, "%s is not a plain file of yours", path);
            os::close(*file);
            ok = false;
        }
        return ok;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (os::open_file(folder, name, path, os::create, file, &error)) {
            if (plain_file_of_ours(*file, &info)) {
                if (!info.private_mode) {
                    os::make_private(*file);
                }
                *writable = true;
                return true;
            }
            os::close(*file);
            error.code = os::already_exists;
        } else if (followed_link(error, path, why, size)) {
            return false;
        } else if (!os::is_in_the_way(error)) {
            break;
        }
        if (!clear_place(folder, name, path, &error.code)) {
            break;
        }
    }
    describe(why, size, error, path);
    return false;
}

bool lock(os::File file, bool exclusive)
{
    const uint64_t deadline = os::monotonic_ns() + lock_wait_ms * 1000000ull;
    for (;;) {
        const os::Locking result = os::try_lock(file, exclusive);
        if (result == os::locked) {
            return true;
        }
        if (result == os::lock_failed || os::monotonic_ns() > deadline) {
            return false;
        }
        os::sleep_ms(2);
    }
}

// Nothing of a file of another size is trusted: it is emptied, then made
// its size again. Its blocks are reserved now: on a full disk a sparse file
// would fault on the first write instead.
bool rebuild_and_reserve(os::File file, uint64_t current, size_t size, bool *fresh,
                         os::Error *error)
{
    if (current != size) {
        *fresh = true;
        if (!os::set_size(file, 0, error) || !os::set_size(file, size, error)) {
            return false;
        }
    }
    return os::reserve(file, size, *fresh, error);
}

} // namespace

Opened open(const char *path, size_t size, bool create, Mapped *mapped, bool *fresh, char *why,
            size_t why_size, int again)
{
    const char *name = nullptr;
    char *folder = split(path, &name);
    bool absent = false, writable = false;
    os::File folder_file, file;
    const bool folder_open = open_folder(folder, create, &folder_file, &absent, why, why_size);
    free(folder);
    if (!folder_open) {
        return absent && !create ? vport::absent : vport::refused;
    }
    const bool ok =
        open_file(folder_file, name, path, create, &file, &absent, &writable, why, why_size);
    os::close(folder_file);
    if (!ok) {
        return absent && !create ? vport::absent : vport::refused;
    }
    uint64_t current = 0;
    os::Error error;
    bool mapped_now = false;
    if (!lock(file, create)) {
        snprintf(why, why_size, "%s is locked by another program", path);
    } else if (!os::same_file(path, file) && again > 0) {
        // Given up and moved aside while we waited for its lock: the file
        // at the path is the port's now, not this one.
        os::close(file);
        return open(path, size, create, mapped, fresh, why, why_size, again - 1);
    } else if (!os::file_size(file, &current, &error)) {
        describe(why, why_size, error, path);
    } else if (!create && current != size) {
        snprintf(why, why_size, "%s is damaged or of another version", path);
    } else if (create && !rebuild_and_reserve(file, current, size, fresh, &error)) {
        if (os::is_mapped_elsewhere(error) && os::map(file, size, true, &mapped->mapping, &error)) {
            mapped->file = file;
            mapped->writable = true;
            return vport::stuck;
        }
        char reason[700];
        describe(reason, sizeof reason, error, path);
        snprintf(why, why_size, "cannot reserve %s: %s", path, reason);
    } else if (!os::map(file, size, writable, &mapped->mapping, &error)) {
        describe(why, why_size, error, path);
    } else {
        mapped_now = true;
    }
    if (!mapped_now) {
        os::close(file); // also drops the lock
        return vport::refused;
    }
    mapped->file = file;
    mapped->writable = writable;
    return vport::opened;
}

void unlock(const Mapped &mapped)
{
    os::unlock(mapped.file);
}

void close(Mapped *mapped)
{
    os::unmap(&mapped->mapping);
    os::close(mapped->file);
    *mapped = Mapped();
}

void give_up(const char *path, Mapped *mapped)
{
    char suffix[40];
    const char *name = nullptr;
    char *folder = split(path, &name);
    snprintf(suffix, sizeof suffix, ".given-up-%lu", static_cast<unsigned long>(os::process_id()));
    char *aside = joined(path, suffix);
    char *aside_name = joined(name, suffix);
    os::File folder_file;
    os::Error error;
    unsigned long code = 0;
    bool final = false;
    // Moved while still locked: a program that saw it given up and opens
    // the path meanwhile waits for the lock, then finds it moved, never
    // taking and rebuilding it where no other program will look.
    if (folder != nullptr && aside != nullptr && aside_name != nullptr &&
        os::open_folder(folder, &folder_file, &error)) {
        // Gone as soon as the last program lets go of it.
        if (os::move_aside(folder_file, name, path, suffix, &code)) {
            os::remove(folder_file, aside_name, aside, &final, &code);
        }
        os::close(folder_file);
    }
    free(folder);
    free(aside);
    free(aside_name);
    close(mapped);
}

bool replaced(const char *path, const Mapped &mapped)
{
    return path == nullptr || !os::same_file(path, mapped.file);
}

} // namespace state_file
