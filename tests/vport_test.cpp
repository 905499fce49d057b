// The virtual port behind the port library: a latch shared by processes, safe
// under concurrent writers, bounded, and never trusting a damaged file.
#include "backends.h"
#include "support.h"
#include "vport.h"
#include "vport_layout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace support;

namespace {

typedef short (*inp_fn)(short);
typedef void (*out_fn)(short, short);

// In a process of its own, runs `before`, loads the port library as the
// blinker does and runs `body`; the exit status tells whether `body` held.
pid_t start(
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

class VirtualPort : public ::testing::Test {
  protected:
    void SetUp() override { setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1); }
    void TearDown() override { unsetenv("LPT_VIRTUAL_DIR"); }
    TempDir dir;
    const std::string state_file = dir / "ports/lpt-3bc.state";
    const std::string probe = "export LPT_BACKEND=virtual LPT_VIRTUAL_DIR=ports; " PROBE_PATH;
    vport::Port port;
    char why[1024] = "";
};

// A register is eight bits: 0x55 of 0x155 reaches the lines; the status
// lines are inputs, so writing them changes nothing.
TEST_F(VirtualPort, LatchesValuesAcrossProcessesInPrivateFilesWhateverTheUmask)
{
    // Under restrictive umasks, and with parent folders still to be made.
    for (const char *mask : {"022", "277", "577"}) {
        const std::string d = "m" + std::string(mask) + "/a/ports", p = PROBE_PATH;
        Result result =
            run(dir.path, "umask " + std::string(mask) + "; export LPT_VIRTUAL_DIR=" + d + "; " +
                              p + " 3bc=155 3be=a 3bd=0; " + p + " 3bc 3bd 3be 378; stat -c %a " +
                              d + " " + d + "/.. " + d + "/lpt-3bc.state");
        EXPECT_EQ(result.output, "init=0\ninit=0 3bc=55 3bd=7f 3be=0a 378=00\n700\n700\n600\n")
            << mask;
    }
}

// A writer that stalled between taking its number and writing its record
// must not overwrite the newer records of the others.
TEST_F(VirtualPort, ConcurrentWritersLoseNoWriteTearNoRecordAndLateOnesOverwriteNothing)
{
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    const uint64_t late = vport::take_number(port.state);
    const int each = 20000;
    auto writer = [&](short value) {
        return start([=](inp_fn, out_fn out) {
            for (int i = 0; i < each; ++i) {
                out(0x3BC, value);
            }
            return true;
        });
    };
    pid_t a = writer(0x11), b = writer(0x22);
    EXPECT_EQ(exit_status(a), 0);
    EXPECT_EQ(exit_status(b), 0);
    vport::write_numbered(port.state, late, vport::data, 0x33);
    EXPECT_EQ(vport::load(&port.state->next_write), 2u * each + 2);
    std::vector<vport::Write> writes(vport::history_length);
    ASSERT_EQ(vport::recent_writes(port.state, writes.data(), writes.size()), writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].number, 2u * each - writes.size() + 2 + i);
        // Whole records: each value with the process that wrote it.
        EXPECT_EQ(writes[i].pid, static_cast<uint32_t>(writes[i].value == 0x11 ? a : b));
    }
    // The latch holds the value of the last write; the file keeps its size.
    EXPECT_EQ(vport::read(port.state, vport::data), writes.back().value);
    EXPECT_EQ(read_file(state_file).size(), sizeof(vport::State));
    vport::close(&port);
}

// A write numbered before another program rebuilt the damaged file and
// latched after it: the next writes reach the register at once, and the
// file does not look damaged to watchers meanwhile.
TEST_F(VirtualPort, WriteInFlightThroughARebuildHidesNoLaterWrite)
{
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    for (int i = 0; i < 2000; ++i) {
        vport::write(port.state, vport::data, 0x11);
    }
    const uint64_t in_flight = vport::take_number(port.state);
    port.state->magic = 0;
    ASSERT_EQ(run(dir.path, probe + " 3bc=22").output, "init=0\n");
    vport::write_numbered(port.state, in_flight, vport::data, 0x33);
    EXPECT_TRUE(vport::valid(port.state, 0x3BC));
    EXPECT_EQ(run(dir.path, probe + " 3bc 3bc=44; " + probe + " 3bc").output,
              "init=0 3bc=33\ninit=0 3bc=44\n");
    vport::Write writes[8];
    ASSERT_EQ(vport::recent_writes(port.state, writes, 8), 3u);
    EXPECT_EQ(writes[1].value, 0x33);
    vport::close(&port);
}

// A host that forks while another of its threads is inside Out32: the child
// must still be able to use the port (no table lock left held in it).
TEST_F(VirtualPort, ForkWhileAnotherThreadWritesLeavesTheChildAUsablePort)
{
    pid_t host = start([](inp_fn, out_fn out) {
        std::atomic<bool> stop{false};
        std::thread busy([&] {
            while (!stop) {
                out(0x3BC, 1);
            }
        });
        bool all = true;
        for (int i = 0; i < 20 && all; ++i) {
            pid_t child = fork();
            if (child == 0) {
                alarm(5); // a child stuck on the lock dies of SIGALRM
                out(0x3BC, 2);
                _exit(0);
            }
            all = exit_status(child) == 0;
        }
        stop = true;
        busy.join();
        return all;
    });
    EXPECT_EQ(exit_status(host), 0);
}

TEST_F(VirtualPort, DamagedForeignOrStaleFileIsRebuiltNeverTrusted)
{
    const std::string size = std::to_string(sizeof(vport::State));
    const std::string patch = "| dd of=$f bs=1 conv=notrunc 2>/dev/null seek=";
    const struct {
        const char *name;
        std::string make; // a shell command on the state file $f, beside outside.txt
    } damage[] = {
        {"garbage", "head -c " + size + " /dev/zero | tr '\\0' x > $f"},
        {"header only", "printf VTPL > $f"},
        {"symlink", "mv $f outside.txt && ln -s ../outside.txt $f"},
        {"hard link", "ln -f $f outside.txt"},
        {"fifo", "rm $f && mkfifo $f"},
        {"open to all", "echo > $f && chmod 666 $f"},
        // The history's tail is cut: its records must not come back as zeros.
        {"truncated while closed", "truncate -s -8 $f"},
        {"write count about to wrap", "printf '\\374\\377\\377\\377\\377\\377\\377\\377' " + patch +
                                          std::to_string(offsetof(vport::State, next_write))},
        {"written in an earlier boot",
         "printf '\\1\\2\\3' " + patch + std::to_string(offsetof(vport::State, boot_id))},
        {"directory",
         "rm $f && mkdir $f && echo kept > $f/inside"}, // last: its folder is looked at
    };
    for (const auto &d : damage) {
        // A port with history to lose, and a file beside it not to write.
        ASSERT_EQ(run(dir.path, "rm -rf ports outside.txt; echo keep me > outside.txt; " + probe +
                                    " 3bc=55 3be=5 >/dev/null; f=ports/lpt-3bc.state; " + d.make)
                      .status,
                  0)
            << d.name;
        const std::string outside = read_file(dir / "outside.txt");
        // A fresh port, latching in a plain private file again.
        EXPECT_EQ(run(dir.path, probe + " 3bc 3be 3bc=1; " + probe +
                                    " 3bc; stat -c '%F %h %a' ports/lpt-3bc.state")
                      .output,
                  "init=0 3bc=00 3be=0c\ninit=0 3bc=01\nregular file 1 600\n")
            << d.name;
        EXPECT_EQ(read_file(dir / "outside.txt"), outside) << d.name;
    }
    // The folder in the file's place, with what it held, was moved aside.
    EXPECT_EQ(run(dir.path, "cat ports/lpt-3bc.state.moved-aside-*/inside").output, "kept\n");
}

// A file of an earlier version is made anew like a damaged one, but told.
TEST_F(VirtualPort, FileOfAnOlderVersionIsMadeAnewWithOneLine)
{
    ASSERT_EQ(run(dir.path, probe + " 3bc=5 >/dev/null; printf '\\3' | dd of=ports/lpt-3bc.state "
                                    "bs=1 seek=4 conv=notrunc 2>/dev/null")
                  .status,
              0);
    EXPECT_EQ(run(dir.path, probe + " 3bc").output,
              "\ninpout32: virtual port: ports/lpt-3bc.state was made by an older version of this "
              "library; made it anew\ninit=0 3bc=00\n");
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
    int status = exit_status(start(
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
    EXPECT_EQ(exit_status(start([](inp_fn inp, out_fn) { return inp(0x3BC) == 0x22; })), 0);
}

// Shrunk, the file cannot be made anew and no memory is left for the port:
// the program goes on, told so, with a port that reads as nothing connected.
TEST_F(VirtualPort, FileShrunkWithNoMemoryLeftCrashesNothing)
{
    testing::internal::CaptureStderr();
    pid_t child = fork();
    if (child == 0) {
        void *port = nullptr;
        char unused[1024];
        bool ok = virtual_backend.open(0x3BC, &port, unused, sizeof unused) == lpt_opened;
        virtual_backend.write(port, vport::data, 0x11);
        ok =
            ok && truncate(state_file.c_str(), 0) == 0 && chmod((dir / "ports").c_str(), 0777) == 0;
        vport::use_allocator([](size_t, size_t) -> void * { return nullptr; });
        ok = ok && virtual_backend.read(port, vport::data) == 0xFF;
        virtual_backend.write(port, vport::data, 0x22);
        ok = ok && virtual_backend.read(port, vport::control) == 0xFF;
        virtual_backend.close(port);
        _exit(ok ? 0 : 1);
    }
    const int status = exit_status(child);
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0) << told;
    EXPECT_EQ(count(told, "\ninpout32: "), 1u) << told;
    EXPECT_EQ(count(told, " is writable by others; run: chmod 700 "), 1u) << told;
    EXPECT_EQ(count(told, "; port 0x3BC: out of memory, its values are lost; end other programs "
                          "and start this one again\n"),
              1u)
        << told;
}

const std::string kept = "; port 0x3BC: values are kept in this program only\n";

TEST_F(VirtualPort, LockedFileFallsBackWithoutBlocking)
{
    // Another program holds the file's lock: the write goes on without it.
    EXPECT_EQ(run(dir.path,
                  probe + " 3bc=1 >/dev/null; flock ports/lpt-3bc.state " PROBE_PATH " 3bc=2 3bc")
                  .output,
              "\ninpout32: virtual port: ports/lpt-3bc.state is locked by another program" + kept +
                  "init=0 3bc=02\n");
}

TEST_F(VirtualPort, StartedWithStandardDescriptorsClosedTheFileStaysOffThem)
{
    EXPECT_EQ(exit_status(start(
                  [](inp_fn, out_fn out) {
                      out(0x3BC, 0x44);
                      return fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1 &&
                             fcntl(2, F_GETFD) == -1;
                  },
                  [] { close(0), close(1), close(2); })),
              0);
}

TEST_F(VirtualPort, FullDiskFallsBackToTheProgramsMemory)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: unshare -m mounts a full file system for this test";
    }
    // A full file system: a tiny one mounted where the files go, when allowed.
    Result full =
        run(dir.path, "rm -rf ports && mkdir -m 700 ports && unshare -m sh -c 'mount -t tmpfs -o "
                      "size=8k,mode=700 lpt-test ports || exit 77; " +
                          probe + " 3bc=33 3bc'");
    if (full.status == 77) {
        GTEST_SKIP() << "no tmpfs can be mounted here: " << full.output;
    }
    EXPECT_EQ(full.output, "\ninpout32: virtual port: cannot reserve ports/lpt-3bc.state: No "
                           "space left on device" +
                               kept + "init=0 3bc=33\n");
}

// More ports than the library keeps: the further ones are told once, read
// as nothing connected and are never written; the first eight go on.
TEST_F(VirtualPort, MoreThanEightPortsTellOnceAndKeepTheFirstEight)
{
    std::string writes;
    for (int base = 0x200; base <= 0x224; base += 4) {
        char step[16];
        snprintf(step, sizeof step, " %x=%d", base, base >> 2 & 0xF);
        writes += step;
    }
    EXPECT_EQ(run(dir.path, probe + writes + " 21c 220 224 200").output,
              "\ninpout32: more than 8 ports in use; 0x220 and further ones are ignored\n"
              "init=0 21c=07 220=ff 224=ff 200=00\n");
    EXPECT_EQ(run(dir.path, "ls ports | wc -l").output, "8\n");
}

// The host ends, or unloads the library, while a thread of it is inside
// Out32 (the one interrupted by the signal that ends it, others writing on):
// the unload neither waits for that thread nor hangs the host.
TEST_F(VirtualPort, UnloadWhileAThreadIsInsideOut32NeverHangs)
{
    static void *library = nullptr;
    static out_fn out = nullptr;
    const struct {
        const char *name;
        void (*end)(int);
        int writers; // threads writing besides the one interrupted
    } cases[] = {{"exit", [](int) { exit(0); }, 2},
                 // dlclose takes the code from under running threads: only
                 // the interrupted one, which never returns into it.
                 {"dlclose", [](int) { _exit(dlclose(library) == 0 ? 0 : 1); }, 0}};
    for (const auto &c : cases) {
        for (int round = 0; round < 20; ++round) {
            pid_t child = fork();
            if (child == 0) {
                library = dlopen(INPOUT32_PATH, RTLD_NOW);
                out = reinterpret_cast<out_fn>(dlsym(library, "Out32"));
                for (int i = 0; i < c.writers; ++i) {
                    std::thread([] {
                        for (;;) {
                            out(0x3BC, 1);
                        }
                    }).detach();
                }
                signal(SIGALRM, c.end);
                struct itimerval soon = {{0, 0}, {0, 5000}};
                setitimer(ITIMER_REAL, &soon, nullptr);
                for (;;) {
                    out(0x3BC, 2);
                }
            }
            // Ten seconds at most: a hung unload is killed and told.
            int status = -1;
            const bool ended =
                eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000);
            if (!ended) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
            }
            ASSERT_TRUE(ended) << c.name << ": hung, round " << round;
            ASSERT_EQ(status, 0) << c.name << ", round " << round;
        }
    }
}

#ifndef __SANITIZE_ADDRESS__
TEST_F(VirtualPort, LibraryNeedsOnlyTheCLibraryAndUnloadsWithoutGrowing)
{
    EXPECT_EQ(run(dir.path, "readelf -d " INPOUT32_PATH " | grep NEEDED | grep -o '\\[.*'").output,
              "[libc.so.6]\n");
    auto resident_kb = [] {
        std::string status = read_file("/proc/self/status");
        return atol(status.c_str() + status.find("VmRSS:") + 6);
    };
    // Not start(): the library is loaded only by the cycles.
    pid_t child = fork();
    if (child == 0) {
        long before = 0;
        for (int cycle = 0; cycle < 600; ++cycle) {
            before = cycle == 100 ? resident_kb() : before;
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
