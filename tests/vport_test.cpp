// The virtual port behind the port library: a latch shared by processes, safe
// under concurrent writers, bounded, and never trusting a damaged file.
#include "support.h"
#include "vport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace support;

namespace {

typedef short (*inp_fn)(short);
typedef void (*out_fn)(short, short);

// In a process of its own, loads the port library as the blinker does and
// runs `body`; its exit status tells whether `body` held. `before` runs
// before the library is loaded.
pid_t in_child(
    const std::function<bool(inp_fn, out_fn)> &body, const std::function<void()> &before = [] {})
{
    pid_t child = fork();
    if (child == 0) {
        before();
        void *library = dlopen(INPOUT32_PATH, RTLD_NOW);
        _exit(library && body(reinterpret_cast<inp_fn>(dlsym(library, "Inp32")),
                              reinterpret_cast<out_fn>(dlsym(library, "Out32")))
                  ? 0
                  : 1);
    }
    return child;
}

int exit_status(pid_t child)
{
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

mode_t mode_of(const std::string &path)
{
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st.st_mode;
}

class VirtualPort : public ::testing::Test {
  protected:
    void SetUp() override { setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1); }
    void TearDown() override { unsetenv("LPT_VIRTUAL_DIR"); }
    TempDir dir;
    const std::string state_file = dir / "ports/lpt-3bc.state";
};

TEST_F(VirtualPort, LatchesValuesAcrossProcessesInPrivateFilesWhateverTheUmask)
{
    // Under restrictive umasks, and with parent folders still to be made.
    for (mode_t mask : {022, 0277, 0577}) {
        const std::string ports = dir / ("m" + std::to_string(mask) + "/a/ports");
        setenv("LPT_VIRTUAL_DIR", ports.c_str(), 1);
        auto with_mask = [=] { umask(mask); };
        EXPECT_EQ(exit_status(in_child(
                      [](inp_fn, out_fn out) {
                          out(0x3BC, 0x155); // a register is eight bits: 0x55 reaches the lines
                          out(0x3BE, 0x0A);  // control
                          out(0x3BD, 0x00);  // status lines are inputs: no effect
                          return true;
                      },
                      with_mask)),
                  0);
        EXPECT_EQ(exit_status(in_child(
                      [](inp_fn inp, out_fn) {
                          return inp(0x3BC) == 0x55 && inp(0x3BD) == vport::status_idle &&
                                 inp(0x3BE) == 0x0A && inp(0x378) == 0;
                      },
                      with_mask)),
                  0)
            << mask;
        EXPECT_EQ(mode_of(ports) & 0777, 0700u) << mask;
        EXPECT_EQ(mode_of(ports + "/..") & 0777, 0700u) << mask;
        EXPECT_EQ(mode_of(ports + "/lpt-3bc.state") & 0777, 0600u) << mask;
    }
}

TEST_F(VirtualPort, ConcurrentWritersLoseNoWriteAndTearNoRecord)
{
    const int each = 20000;
    auto writer = [&](short value) {
        return in_child([=](inp_fn, out_fn out) {
            for (int i = 0; i < each; ++i) {
                out(0x3BC, value);
            }
            return true;
        });
    };
    pid_t a = writer(0x11), b = writer(0x22);
    EXPECT_EQ(exit_status(a), 0);
    EXPECT_EQ(exit_status(b), 0);

    vport::Port port;
    char why[1024];
    ASSERT_EQ(vport::open_existing(0x3BC, &port, why, sizeof why), vport::found) << why;
    EXPECT_EQ(vport::load(&port.state->next_write), 2u * each + 1);
    static vport::Write history[vport::history_length];
    size_t n = vport::recent_writes(port.state, history, vport::history_length);
    ASSERT_EQ(n, vport::history_length);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(history[i].number, 2u * each - n + 1 + i);
        // Whole records: each value with the process that wrote it.
        EXPECT_EQ(history[i].pid, static_cast<uint32_t>(history[i].value == 0x11 ? a : b));
    }
    // The latch holds the value of the last write; the file keeps its size.
    EXPECT_EQ(vport::read(port.state, vport::data), history[n - 1].value);
    EXPECT_EQ(read_file(state_file).size(), sizeof(vport::State));
    vport::close(&port);
}

TEST_F(VirtualPort, LateWriterNeverOverwritesNewerHistory)
{
    vport::Port port;
    char why[1024];
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    const uint64_t late = vport::take_number(port.state); // then stalls
    for (unsigned i = 0; i < vport::history_length + 100; ++i) {
        vport::write(port.state, vport::data, 0x22);
    }
    vport::write_numbered(port.state, late, vport::data, 0x11);
    static vport::Write history[vport::history_length];
    size_t n = vport::recent_writes(port.state, history, vport::history_length);
    ASSERT_EQ(n, vport::history_length);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(history[i].number, late + 101 + i);
        EXPECT_EQ(history[i].value, 0x22);
    }
    EXPECT_EQ(vport::read(port.state, vport::data), 0x22);
    vport::close(&port);
}

struct Damage {
    const char *name;
    std::function<void(const std::string &state_file, const std::string &outside)> make;
};

void patch(const std::string &file, size_t offset, const void *bytes, size_t size)
{
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, bytes, size, static_cast<off_t>(offset)), static_cast<ssize_t>(size));
    close(fd);
}

TEST_F(VirtualPort, DamagedForeignOrStaleFileIsRebuiltNeverTrusted)
{
    const std::string outside = dir / "outside.txt";
    const std::vector<Damage> damage = {
        {"garbage",
         [](const std::string &f, const std::string &) {
             write_file(f, std::string(sizeof(vport::State), 'x'));
         }},
        {"header only", [](const std::string &f, const std::string &) { write_file(f, "VTPL"); }},
        {"symlink", [](const std::string &f,
                       const std::string &o) { ASSERT_EQ(symlink(o.c_str(), f.c_str()), 0); }},
        {"fifo", [](const std::string &f, const std::string &) { mkfifo(f.c_str(), 0600); }},
        {"open to all", [](const std::string &f,
                           const std::string &) { write_file(f, "\n"), chmod(f.c_str(), 0666); }},
        {"directory",
         [](const std::string &f, const std::string &) {
             mkdir(f.c_str(), 0700), write_file(f + "/inside", "kept");
         }},
        {"hard link",
         [](const std::string &f, const std::string &o) {
             write_file(o, std::string(sizeof(vport::State), '\0'));
             ASSERT_EQ(link(o.c_str(), f.c_str()), 0);
         }},
        {"truncated while closed",
         [](const std::string &f, const std::string &) {
             // The history's tail is cut: its records must not come back as zeros.
             ASSERT_EQ(truncate(f.c_str(), sizeof(vport::State) - 8), 0);
         }},
        {"write count about to wrap",
         [](const std::string &f, const std::string &) {
             const uint64_t next = ~0ull - 3;
             patch(f, offsetof(vport::State, next_write), &next, sizeof next);
         }},
        {"written in an earlier boot", [](const std::string &f, const std::string &) {
             const uint8_t other[16] = {1, 2, 3};
             patch(f, offsetof(vport::State, boot_id), other, sizeof other);
         }}};
    for (const Damage &d : damage) {
        run(dir.path,
            "rm -rf ports outside.txt && mkdir -m 700 ports && echo keep me > " + outside);
        // A port with history to lose: written 0x55 three times.
        ASSERT_EQ(exit_status(in_child([](inp_fn, out_fn out) {
                      out(0x3BC, 0x55), out(0x3BC, 0x55), out(0x3BC, 0x55);
                      return true;
                  })),
                  0);
        if (std::string(d.name) != "truncated while closed" &&
            std::string(d.name) != "write count about to wrap" &&
            std::string(d.name) != "written in an earlier boot") {
            unlink(state_file.c_str());
        }
        d.make(state_file, outside);
        const std::string before = read_file(outside);
        vport::Port port;
        char why[1024];
        ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << d.name << ": " << why;
        EXPECT_TRUE(vport::valid(port.state, 0x3BC)) << d.name;
        // A fresh port: no write, nothing latched.
        EXPECT_EQ(vport::load(&port.state->next_write), 1u) << d.name;
        EXPECT_EQ(vport::read(port.state, vport::data), 0) << d.name;
        vport::write(port.state, vport::data, 1);
        EXPECT_EQ(vport::read(port.state, vport::data), 1) << d.name;
        vport::close(&port);
        struct stat st = {};
        lstat(state_file.c_str(), &st);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << d.name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << d.name;
        EXPECT_EQ(read_file(outside), before) << d.name;
    }
}

TEST_F(VirtualPort, FolderOthersCanWriteIsRefusedWithTheFixAndValuesStayInTheProgram)
{
    run(dir.path, "mkdir -m 777 ports");
    Result result = run(dir.path, PROBE_PATH);
    EXPECT_EQ(count(result.output, "inpout32: virtual port: "), 1u) << result.output;
    EXPECT_EQ(count(result.output, "chmod 700 " + (dir / "ports")), 1u) << result.output;
    EXPECT_EQ(count(result.output, "kept in this program only"), 1u) << result.output;
    EXPECT_NE(result.output.find("init=0 inp=0x0\n"), std::string::npos) << result.output;
}

volatile sig_atomic_t host_handler_ran = 0;
void host_handler(int)
{
    host_handler_ran = 1;
}

TEST_F(VirtualPort, FileShrunkWhileMappedCrashesNothingAndLosesNoWrite)
{
    const std::string file = state_file;
    testing::internal::CaptureStderr();
    int status = exit_status(in_child(
        [&](inp_fn inp, out_fn out) {
            out(0x3BC, 0x11);
            bool ok = truncate(file.c_str(), 0) == 0; // another program cuts it
            ok = ok && inp(0x3BE) == vport::control_initial;
            ok = ok && truncate(file.c_str(), 0) == 0;
            out(0x3BC, 0x22);
            ok = ok && inp(0x3BC) == 0x22;
            raise(SIGBUS); // not ours: goes on to the program's own handler
            return ok && host_handler_ran == 1;
        },
        [] { signal(SIGBUS, host_handler); }));
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0) << told;
    EXPECT_EQ(count(told, "\ninpout32: "), 2u) << told;
    EXPECT_EQ(count(told, " shrank while in use; made it anew\n"), 2u) << told;
    // The write after the cut is in the rebuilt file.
    EXPECT_EQ(exit_status(in_child([](inp_fn inp, out_fn) { return inp(0x3BC) == 0x22; })), 0);
}

TEST_F(VirtualPort, FullDiskLockedFileAndClosedStdioFallBackWithoutBlocking)
{
    // A full file system: a tiny one mounted where the files go, when allowed.
    int full = exit_status(in_child(
        [&](inp_fn inp, out_fn out) {
            out(0x3BC, 0x33);
            return inp(0x3BC) == 0x33;
        },
        [&] {
            mkdir((dir / "ports").c_str(), 0700);
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("lpt-test", (dir / "ports").c_str(), "tmpfs", 0, "size=8k,mode=700") != 0) {
                _exit(77);
            }
        }));
    if (WEXITSTATUS(full) != 77) {
        EXPECT_EQ(full, 0);
    }

    // Another program holds the file's lock: the write goes on without it.
    Result first = run(dir.path, PROBE_PATH);
    int fd = open(state_file.c_str(), O_RDWR);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    Result locked = run(dir.path, PROBE_PATH);
    close(fd);
    EXPECT_EQ(locked.status, 0) << locked.output;
    EXPECT_EQ(count(locked.output, "inpout32: "), 1u) << locked.output;
    EXPECT_NE(locked.output.find("is locked by another program; port 0x3BC: values are kept in "
                                 "this program only\n"),
              std::string::npos)
        << locked.output;

    // Started with 0, 1 and 2 closed: the file stays off them.
    EXPECT_EQ(exit_status(in_child(
                  [](inp_fn, out_fn out) {
                      out(0x3BC, 0x44);
                      for (int fd = 0; fd < 3; ++fd) {
                          if (fcntl(fd, F_GETFD) != -1) {
                              return false;
                          }
                      }
                      return true;
                  },
                  [] { close(0), close(1), close(2); })),
              0);
}

TEST_F(VirtualPort, KilledWatcherCostsWritersNothingAfterOneWrite)
{
    vport::Port port;
    char why[1024];
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    pid_t watcher = fork();
    if (watcher == 0) {
        vport::wait_for_change(&port, vport::load(&port.state->changes), 10000);
        _exit(0);
    }
    while (vport::load(&port.state->waiting) == 0) {
        usleep(1000);
    }
    kill(watcher, SIGKILL);
    exit_status(watcher);
    vport::write(port.state, vport::data, 1);
    EXPECT_EQ(vport::load(&port.state->waiting), 0u);
    vport::close(&port);
}

TEST_F(VirtualPort, FifoInPlaceOfTheLibraryIsRefusedNotWaitedOn)
{
    copy_file(PROBE_PATH, dir / "probe");
    ASSERT_EQ(mkfifo((dir / "inpout32.dll").c_str(), 0600), 0);
    Result result = run(dir.path, "./probe </dev/null");
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("LoadLibrary Failed."), std::string::npos) << result.output;
}

#ifndef __SANITIZE_ADDRESS__
TEST_F(VirtualPort, LibraryNeedsOnlyTheCLibraryAndUnloadsWithoutGrowing)
{
    Result needed = run(dir.path, "readelf -d " INPOUT32_PATH " | grep NEEDED");
    EXPECT_EQ(count(needed.output, "NEEDED"), 1u) << needed.output;
    EXPECT_EQ(count(needed.output, "[libc.so.6]"), 1u) << needed.output;

    auto resident_kb = [] {
        std::string status = read_file("/proc/self/status");
        return atol(status.c_str() + status.find("VmRSS:") + 6);
    };
    pid_t child = fork();
    if (child == 0) {
        long before = 0;
        for (int cycle = 0; cycle < 600; ++cycle) {
            if (cycle == 100) {
                before = resident_kb();
            }
            void *library = dlopen(INPOUT32_PATH, RTLD_NOW | RTLD_LOCAL);
            reinterpret_cast<out_fn>(dlsym(library, "Out32"))(0x3BC, 1);
            dlclose(library);
        }
        _exit(resident_kb() - before < 1024 ? 0 : 1);
    }
    EXPECT_EQ(exit_status(child), 0);
}
#endif

} // namespace
