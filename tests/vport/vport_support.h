// What the virtual port's suites share: processes of their own that load the
// port library as the blinker does, and a fixture with a private ports folder.
#ifndef TESTS_VPORT_SUPPORT_H
#define TESTS_VPORT_SUPPORT_H

#include "support.h"
#include "vport.h"
#include "vport_layout.h"
#include "watch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dlfcn.h>
#include <functional>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vport_support {

using namespace support;

typedef short (*inp_fn)(short);
typedef void (*out_fn)(short, short);

// Runs `body` in a process of its own; the exit status tells whether it held.
inline pid_t forked(const std::function<bool()> &body)
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(body() ? 0 : 1);
    }
    return child;
}

// The same after `before`, with the port library loaded as the blinker does.
inline pid_t start(
    const std::function<bool(inp_fn, out_fn)> &body, const std::function<void()> &before = [] {})
{
    return forked([&] {
        before();
        void *library = dlopen(INPOUT32_PATH, RTLD_NOW);
        return library && body(reinterpret_cast<inp_fn>(dlsym(library, "Inp32")),
                               reinterpret_cast<out_fn>(dlsym(library, "Out32")));
    });
}

// In a process of its own, `count` writes to 0x3BC, the i-th (from 1) of
// value(i).
inline pid_t writes_of(uint64_t count, short (*value)(uint64_t))
{
    return start([=](inp_fn, out_fn out) {
        for (uint64_t i = 1; i <= count; ++i) {
            out(0x3BC, value(i));
        }
        return true;
    });
}

inline int exit_status(pid_t child)
{
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

// Holds this process at its next write to the page of `at`, a point the
// library cannot know of: the page is made read-only, and the write's fault
// runs `at_fault`, which ends the process or returns once it made the page
// writable again.
inline void *held_page = nullptr;
inline void stop_at_write(const void *at, void (*at_fault)(int))
{
    held_page = reinterpret_cast<void *>(uintptr_t(at) / getpagesize() * getpagesize());
    signal(SIGSEGV, at_fault);
    mprotect(held_page, getpagesize(), PROT_READ);
}

class VirtualPort : public ::testing::Test {
  protected:
    void SetUp() override { setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1); }
    // The port closed also after a failed assertion.
    void TearDown() override { vport::close(&port), unsetenv("LPT_VIRTUAL_DIR"); }
    TempDir dir;
    const std::string state_file = dir / "ports/lpt-3bc.state";
    const std::string probe = "export LPT_BACKEND=virtual LPT_VIRTUAL_DIR=ports; " PROBE_PATH;
    vport::Port port;
    char why[1024] = "";
};

} // namespace vport_support

#endif
