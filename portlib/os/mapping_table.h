// The library's mapped state files as the operating system's file keeps
// them, each with what that system needs of it (`Extra`). Slots are taken
// and freed under the owner's lock; find() takes none, so that a signal
// handler may use it: an entry's start is published last and cleared first.
#ifndef LPT_MAPPING_TABLE_H
#define LPT_MAPPING_TABLE_H

#include <stddef.h>
#include <stdint.h>

template <typename Extra> struct MappingTable {
    struct Entry {
        uintptr_t start; // 0: free
        size_t length;
        Extra extra;
    };
    Entry entries[64];

    // The slot of a new entry, or -1 when all are taken.
    int add(void *start, size_t length, const Extra &extra)
    {
        for (int i = 0; i < static_cast<int>(sizeof entries / sizeof entries[0]); ++i) {
            if (entries[i].start == 0) {
                entries[i].length = length;
                entries[i].extra = extra;
                __atomic_store_n(&entries[i].start, reinterpret_cast<uintptr_t>(start),
                                 __ATOMIC_RELEASE);
                return i;
            }
        }
        return -1;
    }

    void remove(int slot) { __atomic_store_n(&entries[slot].start, 0, __ATOMIC_RELEASE); }

    // The entry whose range holds `address`, or nullptr.
    Entry *find(const void *address)
    {
        const uintptr_t at = reinterpret_cast<uintptr_t>(address);
        for (Entry &entry : entries) {
            const uintptr_t start = __atomic_load_n(&entry.start, __ATOMIC_ACQUIRE);
            if (start != 0 && at - start < entry.length) {
                return &entry;
            }
        }
        return nullptr;
    }

    bool empty() const
    {
        for (const Entry &entry : entries) {
            if (__atomic_load_n(&entry.start, __ATOMIC_ACQUIRE) != 0) {
                return false;
            }
        }
        return true;
    }
};

#endif
