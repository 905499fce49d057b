// The table of ports as its platform's guard (table_guard.h) sees it.
#ifndef LPT_TABLE_H
#define LPT_TABLE_H

#include "backend.h"

#include <stddef.h>

namespace ports {

struct OpenPort {
    unsigned base;
    const Backend *backend;
    void *handle;
};

void lock_table();
void unlock_table();

// Opens the port at `base` through the first entry of the table after
// `after` (from the first entry when nullptr) that has it, into *port.
// Everything said about one port goes in one line, once: `problems` holds
// what was found before. False when not even the last resort opened.
bool open_port(unsigned base, const Backend *after, char (&problems)[2048], OpenPort *port);

} // namespace ports

#endif
