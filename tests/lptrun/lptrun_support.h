// Running programs under lptrun as a user does, never as root (which it
// refuses), and reading what they wrote through watch.h.
#ifndef LPTRUN_SUPPORT_H
#define LPTRUN_SUPPORT_H

#include "support.h"

#include <stdint.h>
#include <string>
#include <vector>

namespace lptrun_test {

struct Access {
    unsigned reg;
    int value;
    bool operator==(const Access &other) const { return reg == other.reg && value == other.value; }
};
void PrintTo(const Access &access, std::ostream *os);

// A test's own virtual ports (LPT_VIRTUAL_DIR) in a scratch folder.
struct Folder {
    bool ready; // the user's ids taken before the folder is made
    support::TempDir dir;
    Folder();
    ~Folder();
    // The built test program `name`, where the user running lptrun can run it.
    std::string program(const std::string &name) const;
};

struct Ran {
    int status;
    std::string output; // standard output and error, interleaved
    uint32_t pid;       // the program's, which lptrun becomes
};
// A shell command in the folder, as the user, that ends in `exec lptrun
// ...` (lptrun is on its PATH); as root (which lptrun refuses) when
// `as_root` and can_be_root().
Ran run_lptrun(const std::string &command, const Folder &folder, bool as_root = false);
// Whether the tests were started as root, who can come back to root.
bool can_be_root();

// The writes of port `base`, each checked to be process `pid`'s through
// `device`; empty when the port was never written.
std::vector<Access> port_writes(unsigned base, uint32_t pid, const std::string &device);

} // namespace lptrun_test

#endif
