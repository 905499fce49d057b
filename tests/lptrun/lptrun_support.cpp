#include "lptrun_support.h"
#include "watch.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lptrun_test {
namespace {

// The user the tests run lptrun as when started as root: nobody.
const uid_t user = 65534;
const gid_t group = 65534;

// lptrun, its libraries and the test programs, copied where that user can
// run them (the build folder may be root's own); then the user's ids taken,
// keeping root's as the saved ones to come back to. Once, at the first use.
struct Setup {
    support::TempDir dir;
    bool root = geteuid() == 0;
    Setup()
    {
        for (const std::string name :
             {LPTRUN_DIR "/lptrun", LPTRUN_DIR "/liblptrun-x86_64.so",
              LPTRUN_DIR "/liblptrun-i386.so", TESTS_DIR "/raw_io", TESTS_DIR "/raw_io32",
              TESTS_DIR "/raw_io_static", TESTS_DIR "/ieee1284_client", LPTMON_PATH}) {
            if (access(name.c_str(), R_OK) == 0) { // not the 32-bit ones without multilib
                support::copy_file(name, dir / name.substr(name.rfind('/') + 1));
            }
        }
        unsetenv("XDG_RUNTIME_DIR");
        if (root) {
            EXPECT_EQ(system(("chown -R 65534:65534 " + dir.path).c_str()), 0);
            EXPECT_EQ(setgroups(0, nullptr) | setresgid(group, group, 0) | setresuid(user, user, 0),
                      0);
            // Root's ids back at the end: the leak checker inspects the
            // process as a debugger would, which its saved root id forbids.
            atexit([] {
                if (setresuid(0, 0, 0) == 0) {
                    prctl(PR_SET_DUMPABLE, 1);
                }
            });
        }
    }
};

Setup &setup()
{
    static Setup *once = new Setup;
    return *once;
}

} // namespace

void PrintTo(const Access &access, std::ostream *os)
{
    *os << "{" << access.reg << ", 0x" << std::hex << access.value << std::dec << "}";
}

Folder::Folder() : ready((setup(), true))
{
    setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1);
}

Folder::~Folder()
{
    unsetenv("LPT_VIRTUAL_DIR");
}

std::string Folder::program(const std::string &name) const
{
    return setup().dir / name;
}

bool can_be_root()
{
    return setup().root;
}

Ran run_lptrun(const std::string &command, const Folder &folder, bool as_root)
{
    const bool become = as_root && can_be_root();
    // All three ids: a shell started with only the effective one root
    // drops it.
    if (become) {
        EXPECT_EQ(setresuid(0, 0, 0), 0);
    }
    const support::Result result = support::run(
        folder.dir.path, "echo $$ >pid; PATH=" + setup().dir.path + ":$PATH; " + command);
    if (become) {
        EXPECT_EQ(setresuid(user, user, 0), 0);
    }
    return {result.status, result.output,
            static_cast<uint32_t>(atol(support::read_file(folder.dir / "pid").c_str()))};
}

std::vector<Access> port_writes(unsigned base, uint32_t pid, const std::string &device)
{
    watch::Port *port;
    char why[1000];
    std::vector<Access> accesses;
    if (watch::open(base, &port, why, sizeof why) != watch::opened) {
        return accesses;
    }
    std::vector<watch::Write> writes(100000);
    uint64_t missed = 0;
    writes.resize(watch::writes_after(port, 0, writes.data(), writes.size(), &missed));
    EXPECT_EQ(missed, 0u);
    for (const watch::Write &write : writes) {
        char name[100] = "";
        watch::device_name(port, write.device, name, sizeof name);
        EXPECT_EQ(write.pid, pid);
        EXPECT_EQ(name, device);
        accesses.push_back({write.reg, write.value});
    }
    watch::close(port);
    return accesses;
}

} // namespace lptrun_test
