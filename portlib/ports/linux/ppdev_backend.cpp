// A real port: found by its base address in /proc/sys/dev/parport, or named
// for an address by LPT_PORT_0xADDR=parportN, and reached through
// /dev/parportN.
#include "backends.h"
#include "ppdev_parts.h"
#include "say.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/ppdev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Port {
    int fd;
    int number;    // of /dev/parportN
    uint8_t data;  // what was last written: the data register reads it back
    bool told;     // of a failed write: once per port, or a blinking host floods
    char name[24]; // as lptmon shows it: /dev/parportN
};

const char *root()
{
    return ppdev::calls.root;
}

void group_of(const char *device, char *name, size_t size)
{
    struct stat st;
    struct group *group = stat(device, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    if (group != nullptr) {
        snprintf(name, size, "%s", group->gr_name);
    } else if (stat(device, &st) == 0) {
        snprintf(name, size, "%lu", static_cast<unsigned long>(st.st_gid));
    } else {
        snprintf(name, size, "lp");
    }
}

// The reason a device could not be used, and what to do about it.
void advice(const char *device, const char *call, int error, char *why, size_t size)
{
    snprintf(why, size, "%s: %s failed: %s", device, call, strerror(error));
    char group[64];
    switch (error) {
    case EACCES:
    case EPERM:
        group_of(device, group, sizeof group);
        ports::append(
            why, size,
            "; to use it, add yourself to group %s (sudo usermod -aG %s $USER) and log in again",
            group, group);
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        ports::append(why, size, "; load the ppdev module: sudo modprobe ppdev");
        break;
    case EBUSY:
        ports::append(why, size,
                      "; another program holds the port exclusively: stop it and try again");
        break;
    default:
        break;
    }
}

ports::OpenResult open_device(unsigned base, void **handle, char *why, size_t why_size)
{
    char proc[600];
    snprintf(proc, sizeof proc, "%s/proc/sys/dev/parport", root());
    int wanted = ppdev::routed_port(base, why, why_size);
    if (wanted == -2) {
        return ports::refused;
    }
    ppdev::Found found;
    int number = ppdev::find_port(base, wanted, proc, &found);
    // Before its driver is loaded a card shows no ports at all.
    char no_driver[800];
    snprintf(no_driver, sizeof no_driver,
             ", as no parallel port driver is loaded (no %s); run sudo modprobe parport_pc ppdev, "
             "then ls /dev/parport* lists the ports",
             proc);
    if (number < 0 && wanted >= 0) {
        snprintf(why, why_size, "LPT_PORT_0x%03X=parport%d: this machine has no parport%d", base,
                 wanted, wanted);
        ports::append(why, why_size, found.no_driver ? "%s" : " (it has %s)",
                      found.no_driver           ? no_driver
                      : found.others[0] != '\0' ? found.others
                                                : "no parallel port");
        return ports::refused;
    }
    if (number < 0 && found.others[0] != '\0') {
        // A port at another address is most likely the one the user meant.
        snprintf(why, why_size,
                 "no parallel port at 0x%03X; this machine has %s; to use parport%d, run export "
                 "LPT_PORT_0x%03X=parport%d and start the program again%s",
                 base, found.others, found.first_other, base, found.first_other, found.misnamed);
        return ports::refused;
    }
    if (number < 0) {
        snprintf(why, why_size, "no parallel port at 0x%03X %s%s", base,
                 found.no_driver ? "here" : "in", found.no_driver ? no_driver : proc);
        return ports::absent;
    }
    char device[600];
    snprintf(device, sizeof device, "%s/dev/parport%d", root(), number);
    // The claim below waits, without end, for whoever holds the port: the
    // program would hang in its first port write. So a port that someone
    // holds is told about and left alone. (One who claims it in the moment
    // between this look and our claim still makes us wait for it.)
    char active[700], holder[64];
    snprintf(active, sizeof active, "%s/parport%d/devices/active", proc, number);
    if (ppdev::read_proc_text(active, holder, sizeof holder)) {
        holder[strcspn(holder, " \t\n")] = '\0';
        if (holder[0] != '\0' && strcmp(holder, "none") != 0) {
            snprintf(why, why_size,
                     "%s: the port is in use by %s; end the program that holds it and try again",
                     device, holder);
            return ports::refused;
        }
    }
    int fd = ppdev::calls.open(device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        advice(device, "open", errno, why, why_size);
        return ports::refused;
    }
    // Claimed, not exclusively, so that the lp driver can share the port.
    const bool claimed = ppdev::calls.ioctl(fd, PPCLAIM, nullptr) == 0;
    int forward = 0;
    const char *failed = !claimed                                           ? "ioctl(PPCLAIM)"
                         : ppdev::calls.ioctl(fd, PPDATADIR, &forward) != 0 ? "ioctl(PPDATADIR)"
                                                                            : nullptr;
    if (failed != nullptr) {
        advice(device, failed, errno, why, why_size);
    }
    Port *port = failed == nullptr ? static_cast<Port *>(malloc(sizeof(Port))) : nullptr;
    if (port == nullptr) {
        if (failed == nullptr) {
            snprintf(why, why_size, "out of memory");
        }
        if (claimed) {
            ppdev::calls.ioctl(fd, PPRELEASE, nullptr);
        }
        ppdev::calls.close(fd);
        return ports::refused;
    }
    unsigned char data = 0;
    ppdev::calls.ioctl(fd, PPRDATA, &data); // the lines as we find them
    *port = Port{fd, number, data, false, ""};
    snprintf(port->name, sizeof port->name, "/dev/parport%d", number);
    *handle = port;
    return ports::opened;
}

uint8_t read_register(void *handle, unsigned reg)
{
    Port *port = static_cast<Port *>(handle);
    unsigned char value = 0xFF;
    switch (reg) {
    case 0:
        return port->data;
    case 1:
        ppdev::calls.ioctl(port->fd, PPRSTATUS, &value);
        return value;
    case 2:
        ppdev::calls.ioctl(port->fd, PPRCONTROL, &value);
        return value;
    default:
        return 0xFF; // no such register
    }
}

void write_register(void *handle, unsigned reg, uint8_t value)
{
    Port *port = static_cast<Port *>(handle);
    unsigned char byte = value;
    int failed = 0;
    if (reg == 0) {
        failed = ppdev::calls.ioctl(port->fd, PPWDATA, &byte);
        port->data = value;
    } else if (reg == 2) {
        failed = ppdev::calls.ioctl(port->fd, PPWCONTROL, &byte);
    }
    // Status lines are inputs; nothing else is a register here.
    if (failed != 0 && !port->told) {
        int error = errno;
        port->told = true;
        char device[700], why[1024];
        snprintf(device, sizeof device, "%s/dev/parport%d", root(), port->number);
        advice(device, reg == 0 ? "ioctl(PPWDATA)" : "ioctl(PPWCONTROL)", error, why, sizeof why);
        ports::append(
            why, sizeof why,
            "; that value is lost, and later failed writes to this port are not told again");
        ports::say(why);
    }
}

void close_port(void *handle)
{
    Port *port = static_cast<Port *>(handle);
    ppdev::calls.ioctl(port->fd, PPRELEASE, nullptr);
    ppdev::calls.close(port->fd);
    free(port);
}

const char *device_name(void *handle)
{
    return static_cast<Port *>(handle)->name;
}

} // namespace

// The real port of the Linux build.
const ports::Backend ports::real_backend = {"ppdev",    open_device, read_register, write_register,
                                            close_port, device_name, nullptr};
