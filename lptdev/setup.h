// What lptdev settles before it serves: its arguments, which name and
// address are free of the kernel's own ports, and the user it serves as.
#ifndef LPTDEV_SETUP_H
#define LPTDEV_SETUP_H

#include <string>
#include <sys/types.h>

namespace lptdev {

struct Options {
    std::string name; // parportN; empty: the first one free
    unsigned base = 0x378;
    std::string user;  // whom to serve as, when started as root
    std::string group; // the node's group; empty: lp where it exists
    bool help = false;
};

extern const char usage[];

// false with why, ready to show after "lptdev: ".
bool parse(int argc, char **argv, Options *options, std::string *why);

// Fills in the name when none was given; false with why when the name or
// the address is one of the kernel's ports: the real port wins.
bool choose_port(Options *options, std::string *why);

// The user to serve as and the node's owner and group.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;      // the user's own group
    gid_t node_gid = 0; // the node's group
    std::string name;
};
bool identify(const Options &options, Identity *identity, std::string *why);

// Leaves root for good: false with why when the drop failed or root can
// be taken back.
bool drop_privileges(const Identity &identity, std::string *why);

} // namespace lptdev

#endif
