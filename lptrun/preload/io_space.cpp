#include "io_space.h"
#include "backends.h"
#include "os.h"
#include "vport_claim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace lptrun {
namespace {

const unsigned max_parports = 8;
unsigned bases[max_parports] = {0x378, 0x278, 0x3BC};

// The virtual port of each base, opened at its first access: a program
// that probes three addresses and uses one leaves lptmon one port to show.
struct Opened {
    unsigned base;
    void *port; // ports::virtual_backend's
};
Opened opened[max_parports];
unsigned opened_count = 0;
os::Mutex opening = LPT_MUTEX_INITIALIZER;

// Accesses to addresses that are not ours, and the first of them.
unsigned long dropped = 0;
unsigned first_dropped = 0;

// The devices of in/out and /dev/port, made once: later writes only compare
// their marks.
vport::DeviceMark marks[2];

void *port_at(unsigned base)
{
    const unsigned count = __atomic_load_n(&opened_count, __ATOMIC_ACQUIRE);
    for (unsigned i = 0; i < count; ++i) {
        if (opened[i].base == base) {
            return opened[i].port;
        }
    }
    os::lock(&opening);
    void *port = nullptr;
    for (unsigned i = 0; i < opened_count; ++i) {
        if (opened[i].base == base) {
            port = opened[i].port;
        }
    }
    char why[700];
    if (port == nullptr && opened_count < max_parports) {
        if (ports::virtual_backend.open(base, &port, why, sizeof why) != ports::opened) {
            char text[900];
            snprintf(text, sizeof text, "%s; port 0x%03X: values are kept in this program only",
                     why, base);
            say(text);
            if (ports::memory_backend.open(base, &port, why, sizeof why) != ports::opened) {
                port = nullptr;
            }
        }
        if (port != nullptr) {
            opened[opened_count] = {base, port};
            __atomic_store_n(&opened_count, opened_count + 1, __ATOMIC_RELEASE);
        }
    }
    os::unlock(&opening);
    return port;
}

// The base of the parport whose registers hold `address`, or 0.
unsigned base_of(uint16_t address)
{
    for (unsigned base : bases) {
        if (base != 0 && address >= base && address < base + vport::register_count) {
            return base;
        }
    }
    return 0;
}

void count_dropped(uint16_t address)
{
    if (__atomic_fetch_add(&dropped, 1, __ATOMIC_RELAXED) == 0) {
        first_dropped = address;
    }
}

} // namespace

void say(const char *text)
{
    char line[1200];
    snprintf(line, sizeof line, "\nlptrun: %s\n", text);
    os::write_error(line);
}

void read_port_addresses()
{
    // Emulated: their inputs are the watchers' to set, not wires.
    marks[via_in_out] = vport::emulated_device_mark("in/out (lptrun)");
    marks[via_dev_port] = vport::emulated_device_mark("/dev/port (lptrun)");
    const char *list = getenv("LPTRUN_PORTS");
    if (list == nullptr) {
        return;
    }
    memset(bases, 0, sizeof bases);
    for (unsigned n = 0; n < max_parports && *list != '\0'; ++n) {
        char *end;
        unsigned long base = strtoul(list, &end, 0);
        // Bases sit on a four-byte boundary below the top of the I/O space.
        bases[n] = base % 4 == 0 && base < 0x10000 ? static_cast<unsigned>(base) : 0;
        list = *end == ',' ? end + 1 : end + strlen(end);
    }
}

unsigned parport_base(unsigned n)
{
    return n < max_parports ? bases[n] : 0;
}

uint8_t in_byte(uint16_t address)
{
    const unsigned base = base_of(address);
    if (base == 0) {
        count_dropped(address);
        return 0xFF;
    }
    void *port = port_at(base);
    const unsigned reg = address - base;
    if (port == nullptr) {
        return 0xFF;
    }
    // With the data lines turned round (control bit 5), a read gives what
    // the outside drives on them.
    if (reg == vport::data && (ports::virtual_backend.read(port, vport::control) & 0x20) != 0) {
        return vport::data_input(static_cast<vport::Port *>(port)->state);
    }
    return ports::virtual_backend.read(port, reg);
}

void out_byte(uint16_t address, uint8_t value, Via via)
{
    const unsigned base = base_of(address);
    if (base == 0) {
        count_dropped(address);
        return;
    }
    void *port = port_at(base);
    if (port != nullptr) {
        ports::write_marked(port, address - base, value, marks[via]);
    }
}

void say_dropped()
{
    const unsigned long count = __atomic_load_n(&dropped, __ATOMIC_RELAXED);
    if (count == 0) {
        return;
    }
    // After what the program printed, also where its output is a pipe that
    // the C library empties only after this.
    fflush(stdout);
    char text[300];
    snprintf(text, sizeof text,
             "\nlptrun: %lu access%s to I/O ports of no parallel port (the first at 0x%03X) "
             "dropped, reads gave 0xFF\n",
             count, count == 1 ? "" : "es", first_dropped);
    os::write_error(text);
}

void forget_dropped()
{
    dropped = 0;
}

} // namespace lptrun
