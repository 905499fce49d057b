// A real port: found by its base address in /proc/sys/dev/parport, reached
// through /dev/parportN. LPT_PPDEV_ROOT, when set, is put before both paths
// (for tests, and for looking at a copy of another machine's tree).
#include "backend.h"
#include "ppdev.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int real_open(const char *path, int flags)
{
    return open(path, flags);
}
int real_ioctl(int fd, unsigned long request, void *argument)
{
    return ioctl(fd, request, argument);
}
int real_close(int fd)
{
    return close(fd);
}

const ppdev_ops real_ops = {real_open, real_ioctl, real_close};
const ppdev_ops *ops = &real_ops;

struct Port {
    int fd;
    uint8_t data; // what was last written: the data register reads it back
};

std::string root()
{
    const char *value = getenv("LPT_PPDEV_ROOT");
    return value != nullptr ? value : "";
}

std::string hex_address(unsigned long address)
{
    char text[16];
    snprintf(text, sizeof text, "0x%03lX", address);
    return text;
}

// The parportN whose base address is `base`, or -1; *others lists the ports
// there are instead.
int find_port(unsigned base, const std::string &proc, std::string *others)
{
    DIR *dir = opendir(proc.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (struct dirent *entry = readdir(dir)) {
        int number;
        char rest;
        if (sscanf(entry->d_name, "parport%d%c", &number, &rest) != 1 || number < 0) {
            continue;
        }
        std::string path = proc + "/" + entry->d_name + "/base-addr";
        FILE *file = fopen(path.c_str(), "re");
        if (file == nullptr) {
            continue;
        }
        unsigned long address; // the first field, in decimal
        if (fscanf(file, "%lu", &address) == 1) {
            if (address == base) {
                found = number;
            } else {
                *others += (others->empty() ? "" : ", ") + hex_address(address) + " (parport" +
                           std::to_string(number) + ")";
            }
        }
        fclose(file);
        if (found >= 0) {
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string group_of(const std::string &device)
{
    struct stat st;
    if (stat(device.c_str(), &st) != 0) {
        return "lp";
    }
    struct group *group = getgrgid(st.st_gid);
    return group != nullptr ? group->gr_name : std::to_string(st.st_gid);
}

// The reason a device could not be used, and what to do about it.
std::string advice(const std::string &device, const char *call, int error)
{
    std::string what = device + ": " + call + " failed: " + strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        return what + "; to use it, add yourself to group " + group_of(device) +
               " (sudo usermod -aG " + group_of(device) + " $USER) and log in again";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return what + "; load the ppdev module: sudo modprobe ppdev";
    case EBUSY:
        return what + "; another program holds the port exclusively: stop it and try again";
    default:
        return what;
    }
}

lpt_open_result open_port(unsigned base, void **handle, std::string *why)
{
    const std::string proc = root() + "/proc/sys/dev/parport";
    std::string others;
    int number = find_port(base, proc, &others);
    if (number < 0 && !others.empty()) {
        // A port at another address is most likely the one the user meant.
        *why = "no parallel port at " + hex_address(base) + "; this machine has " + others +
               ": set the port to " + hex_address(base) + " in the BIOS setup if it allows";
        return lpt_unusable;
    }
    if (number < 0) {
        *why = "no parallel port at " + hex_address(base) + " in " + proc;
        return lpt_absent;
    }
    const std::string device = root() + "/dev/parport" + std::to_string(number);
    int fd = ops->open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *why = advice(device, "open", errno);
        return lpt_unusable;
    }
    // Claimed, not exclusively, so that the lp driver can share the port.
    if (ops->ioctl(fd, PPCLAIM, nullptr) != 0) {
        *why = advice(device, "ioctl(PPCLAIM)", errno);
        ops->close(fd);
        return lpt_unusable;
    }
    int forward = 0;
    if (ops->ioctl(fd, PPDATADIR, &forward) != 0) {
        *why = advice(device, "ioctl(PPDATADIR)", errno);
        ops->ioctl(fd, PPRELEASE, nullptr);
        ops->close(fd);
        return lpt_unusable;
    }
    unsigned char data = 0;
    ops->ioctl(fd, PPRDATA, &data); // the lines as we find them
    *handle = new Port{fd, data};
    return lpt_opened;
}

uint8_t read_register(void *handle, unsigned reg)
{
    Port *port = static_cast<Port *>(handle);
    unsigned char value = 0xFF;
    switch (reg) {
    case 0:
        return port->data;
    case 1:
        ops->ioctl(port->fd, PPRSTATUS, &value);
        return value;
    case 2:
        ops->ioctl(port->fd, PPRCONTROL, &value);
        return value;
    default:
        return 0xFF; // no such register
    }
}

void write_register(void *handle, unsigned reg, uint8_t value)
{
    Port *port = static_cast<Port *>(handle);
    unsigned char byte = value;
    if (reg == 0) {
        ops->ioctl(port->fd, PPWDATA, &byte);
        port->data = value;
    } else if (reg == 2) {
        ops->ioctl(port->fd, PPWCONTROL, &byte);
    }
    // Status lines are inputs; nothing else is a register here.
}

void close_port(void *handle)
{
    Port *port = static_cast<Port *>(handle);
    ops->ioctl(port->fd, PPRELEASE, nullptr);
    ops->close(port->fd);
    delete port;
}

} // namespace

void ppdev_use_ops(const ppdev_ops *replacement)
{
    ops = replacement != nullptr ? replacement : &real_ops;
}

const lpt_backend ppdev_backend = {"ppdev", open_port, read_register, write_register, close_port};
