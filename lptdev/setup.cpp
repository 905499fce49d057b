// lptdev's arguments, the kernel's ports it leaves alone, and the user it
// becomes once /dev/cuse is open.
#include "setup.h"

#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lptdev {

const char usage[] =
    "usage: sudo lptdev [--user NAME] [--group NAME] [--name parportN] [--port ADDRESS]\n"
    "  --user NAME     the user to serve as once /dev/cuse is open; the port's\n"
    "                  state is then that user's (default: the one sudo names)\n"
    "  --group NAME    the device's group, which may open it too (default lp)\n"
    "  --name parportN the device to serve (default: the first one free)\n"
    "  --port ADDRESS  the virtual port behind it (default 0x378), as\n"
    "                  lptmon --port ADDRESS shows it\n";

namespace {

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

const char kernel_ports[] = "/proc/sys/dev/parport";

bool parse_address(const char *text, unsigned *base)
{
    char *end = nullptr;
    const unsigned long value = strtoul(text, &end, 16);
    if (*text == '\0' || *end != '\0' || value == 0 || value > 0xFFF8) {
        return false;
    }
    *base = static_cast<unsigned>(value);
    return true;
}

bool valid_name(const std::string &name)
{
    const size_t digits = name.find_first_not_of("0123456789", 7);
    return name.compare(0, 7, "parport") == 0 && name.size() > 7 && name.size() < 11 &&
           digits == std::string::npos;
}

// The kernel's port with this base address, if it has one.
std::string kernel_port_at(unsigned base)
{
    DIR *dir = opendir(kernel_ports);
    std::string found;
    for (dirent *entry; dir != nullptr && found.empty() && (entry = readdir(dir)) != nullptr;) {
        const std::string path = std::string(kernel_ports) + "/" + entry->d_name + "/base-addr";
        FILE *file = fopen(path.c_str(), "r");
        unsigned address = 0;
        if (file != nullptr && fscanf(file, "%u", &address) == 1 && address == base) {
            found = entry->d_name;
        }
        if (file != nullptr) {
            fclose(file);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return found;
}

} // namespace

bool parse(int argc, char **argv, Options *options, std::string *why)
{
    for (int i = 1; i < argc; ++i) {
        const std::string given = argv[i];
        if (given == "--help" || given == "-h") {
            options->help = true;
            continue;
        }
        if (given != "--user" && given != "--group" && given != "--name" && given != "--port") {
            *why = "unknown argument: " + given;
            return false;
        }
        if (i + 1 == argc) {
            *why = given + " needs a value";
            return false;
        }
        const char *value = argv[++i];
        if (given == "--user") {
            options->user = value;
        } else if (given == "--group") {
            options->group = value;
        } else if (given == "--name") {
            options->name = value;
            if (!valid_name(options->name)) {
                *why = "--name " + options->name +
                       ": not a parallel port device's name; give one such as parport1";
                return false;
            }
        } else if (!parse_address(value, &options->base)) {
            *why = std::string("--port ") + value + ": not a port address; give one such as 0x378";
            return false;
        }
    }
    return true;
}

bool choose_port(Options *options, std::string *why)
{
    char address[16];
    snprintf(address, sizeof address, "0x%X", options->base);
    const std::string kernels = kernel_port_at(options->base);
    if (!kernels.empty()) {
        *why = std::string("the kernel has a parallel port at ") + address + " (" + kernels +
               "), and the real port wins: use it through /dev/" + kernels +
               ", or give lptdev another address with --port ADDRESS";
        return false;
    }
    const auto taken = [](const std::string &name) {
        return exists("/dev/" + name) || exists(std::string(kernel_ports) + "/" + name);
    };
    if (options->name.empty()) {
        for (int n = 0; n < 100 && options->name.empty(); ++n) {
            const std::string name = "parport" + std::to_string(n);
            if (!taken(name)) {
                options->name = name;
            }
        }
    }
    if (options->name.empty() || taken(options->name)) {
        *why = "/dev/" + options->name +
               " exists: the kernel (or another lptdev) serves it; give lptdev another name "
               "with --name parportN, or none for the first one free";
        return false;
    }
    return true;
}

bool identify(const Options &options, Identity *identity, std::string *why)
{
    std::string name = options.user;
    const char *sudo_user = getenv("SUDO_USER");
    if (name.empty() && geteuid() == 0 && sudo_user != nullptr) {
        name = sudo_user;
    }
    const passwd *user = name.empty() ? getpwuid(getuid()) : getpwnam(name.c_str());
    if (user == nullptr) {
        *why = name.empty() ? "cannot tell who runs it" : "--user " + name + ": no such user";
        return false;
    }
    if (geteuid() == 0 && user->pw_uid == 0) {
        *why = "started as root, it serves as an ordinary user, who then owns the port's "
               "state: run sudo lptdev --user NAME";
        return false;
    }
    if (geteuid() != 0 && user->pw_uid != getuid()) {
        *why = "--user " + name + " needs root: run sudo lptdev --user " + name;
        return false;
    }
    identity->uid = user->pw_uid;
    identity->gid = user->pw_gid;
    identity->name = user->pw_name;
    identity->node_gid = user->pw_gid;
    const std::string group_name = options.group.empty() ? "lp" : options.group;
    const group *node_group = getgrnam(group_name.c_str());
    if (node_group != nullptr) {
        identity->node_gid = node_group->gr_gid;
    } else if (!options.group.empty()) {
        *why = "--group " + options.group + ": no such group";
        return false;
    }
    return true;
}

bool drop_privileges(const Identity &identity, std::string *why)
{
    if (geteuid() != 0 && getuid() != 0) {
        return true;
    }
    if (setgroups(1, &identity.gid) != 0 || setgid(identity.gid) != 0 ||
        setuid(identity.uid) != 0) {
        *why = "cannot become user " + identity.name + ": " + strerror(errno);
        return false;
    }
    if (setuid(0) == 0 || seteuid(0) == 0) {
        *why = "could take root back after becoming " + identity.name + "; not serving";
        return false;
    }
    // The user's own folder for the port's state, as in their session; a
    // root's folder left in the environment would be refused as not theirs.
    const std::string runtime = "/run/user/" + std::to_string(identity.uid);
    struct stat st;
    if (stat(runtime.c_str(), &st) == 0 && st.st_uid == identity.uid) {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    return true;
}

} // namespace lptdev
