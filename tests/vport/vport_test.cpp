// The virtual port behind the port library: a latch shared by processes, safe
// under concurrent writers, bounded, and never trusting a damaged file.
#include "backends.h"
#include "support.h"
#include "vport.h"
#include "vport_layout.h"
#include "vport_state_file.h"
#include "watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
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

// Runs `body` in a process of its own; the exit status tells whether it held.
pid_t forked(const std::function<bool()> &body)
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(body() ? 0 : 1);
    }
    return child;
}

// The same after `before`, with the port library loaded as the blinker does.
pid_t start(
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
pid_t writes_of(uint64_t count, short (*value)(uint64_t))
{
    return start([=](inp_fn, out_fn out) {
        for (uint64_t i = 1; i <= count; ++i) {
            out(0x3BC, value(i));
        }
        return true;
    });
}

int exit_status(pid_t child)
{
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

// Holds this process at its next write to the page of `at`, a point the
// library cannot know of: the page is made read-only, and the write's fault
// runs `at_fault`, which ends the process or returns once it made the page
// writable again.
void *held_page = nullptr;
void stop_at_write(const void *at, void (*at_fault)(int))
{
    held_page = reinterpret_cast<void *>(uintptr_t(at) / getpagesize() * getpagesize());
    signal(SIGSEGV, at_fault);
    mprotect(held_page, getpagesize(), PROT_READ);
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

// A writer that stalled between taking its number and writing its record
// must not overwrite the newer records of the others.
TEST_F(VirtualPort, ConcurrentWritersLoseNoWriteTearNoRecordAndLateOnesOverwriteNothing)
{
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    const uint64_t late = vport::take_number(port.state);
    const int each = 40000; // together more than the history keeps
    pid_t a = writes_of(each, [](uint64_t) -> short { return 0x11; }),
          b = writes_of(each, [](uint64_t) -> short { return 0x22; });
    EXPECT_EQ(exit_status(a), 0);
    EXPECT_EQ(exit_status(b), 0);
    vport::write_numbered(port.state, late, vport::data, 0x33);
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

// A host started with its standard descriptors closed, which forks while
// another of its threads is inside Out32: the child must still be able to
// use the port (no table lock left held in it), and the file stays off the
// standard descriptors, where the host's output would land in it.
TEST_F(VirtualPort, ForkWhileAnotherThreadWritesLeavesTheChildAUsablePort)
{
    pid_t host = start(
        [](inp_fn, out_fn out) {
            std::atomic<bool> stop{false};
            std::thread busy([&] {
                while (!stop) {
                    out(0x3BC, 1);
                }
            });
            bool all = true;
            for (int i = 0; i < 20 && all; ++i) {
                all = exit_status(forked([&] {
                          alarm(5); // a child stuck on the lock dies of SIGALRM
                          out(0x3BC, 2);
                          return true;
                      })) == 0;
            }
            stop = true;
            busy.join();
            return all && fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1 &&
                   fcntl(2, F_GETFD) == -1;
        },
        [] { close(0), close(1), close(2); });
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
            ok = ok && inp(0x3BE) == vport::control_at_start;
            ok = ok && truncate(file.c_str(), 0) == 0;
            out(0x3BC, 0x22);
            ok = ok && inp(0x3BC) == 0x22;
            raise(SIGBUS); // not ours: goes on to the program's own handler
            return ok && host_handler_ran == 1;
        },
        [] { signal(SIGBUS, host_handler); }));
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0) << told;
    const std::string shrank =
        "\ninpout32: virtual port: " + file + " shrank while in use; made it anew\n";
    EXPECT_EQ(told, shrank + shrank);
    // The write after the cut is in the rebuilt file.
    EXPECT_EQ(exit_status(start([](inp_fn inp, out_fn) { return inp(0x3BC) == 0x22; })), 0);
}

const std::string kept = "; port 0x3BC: values are kept in this program only\n";

// What a run of the probe is told, byte for byte. A value latched across
// processes, in private files and folders (parents made) under restrictive
// umasks; a register is eight bits (0x55 of 0x155 reaches the lines) and
// the status lines are inputs, so writing them changes nothing. A file of an earlier
// version made anew like a damaged one; a file another program holds
// locked (the write goes on without it, never blocking); more ports than
// the library keeps (the further ones told once, read as nothing connected
// and never written; the first eight go on); a full disk, where the port
// falls back to the program's memory. Two folders named in 180 Chinese
// letters (540 bytes) each keep a port of their own. And the library needs
// only the C library.
TEST_F(VirtualPort, ProbeRunsAreToldExactly)
{
    std::string letters;
    for (int i = 0; i < 60; ++i) {
        letters += "长";
    }
    const std::string long_folder = letters + "/" + letters + "/" + letters;
    const std::string made = probe + " 3bc=5 >/dev/null; ";
    const std::string latched = " 3bc=155 3be=a 3bd=0; " PROBE_PATH " 3bc 3bd 3be 378; stat -c %a "
                                "m/a/ports m/a m/a/ports/lpt-3bc.state",
                      umask = "; export LPT_VIRTUAL_DIR=m/a/ports; rm -rf m; " PROBE_PATH;
    const std::string latched_told = "init=0\ninit=0 3bc=55 3bd=7f 3be=0a 378=00\n700\n700\n600\n";
    const struct {
        std::string command, told;
    } cases[] = {
        {"umask 022" + umask + latched, latched_told},
        {"umask 577" + umask + latched, latched_told},
        {"export LPT_VIRTUAL_DIR=" + long_folder +
             "/a; " PROBE_PATH " 3bc=5; export LPT_VIRTUAL_DIR=" + long_folder +
             "/b; " PROBE_PATH " 3bc; ls " + long_folder + "/a",
         "init=0\ninit=0 3bc=00\nlpt-3bc.state\n"},
        {made + "printf '\\3' | dd of=ports/lpt-3bc.state bs=1 seek=4 conv=notrunc 2>/dev/null; " +
             probe + " 3bc",
         "\ninpout32: virtual port: ports/lpt-3bc.state was made by an older version of this "
         "library; made it anew\ninit=0 3bc=00\n"},
        {made + "flock ports/lpt-3bc.state " PROBE_PATH " 3bd 3be 3bc=2 3bd=0 3be=1f 3bc 3bd 3be",
         "\ninpout32: virtual port: ports/lpt-3bc.state is locked by another program" + kept +
             "init=0 3bd=7f 3be=0c 3bc=02 3bd=7f 3be=1f\n"},
        {probe + " 200=0 204=1 208=2 20c=3 210=4 214=5 218=6 21c=7 220=8 224=9 21c 220 224 200; "
                 "ls ports | wc -l",
         "\ninpout32: more than 8 ports in use; 0x220 and further ones are ignored\n"
         "init=0 21c=07 220=ff 224=ff 200=00\n8\n"},
        // A full file system: a tiny one mounted where the files go, where
        // that is allowed (77: skipped).
        {"unshare -m true || exit 77; mkdir -m 700 ports && unshare -m sh -c 'mount -t tmpfs -o "
         "size=8k,mode=700 lpt-test ports || exit 77; " +
             probe + " 3bc=33 3bc'",
         "\ninpout32: virtual port: cannot reserve ports/lpt-3bc.state: No space left on device" +
             kept + "init=0 3bc=33\n"},
#ifndef __SANITIZE_ADDRESS__
        {"readelf -d " INPOUT32_PATH " | grep NEEDED | grep -o '\\[.*'", "[libc.so.6]\n"},
#endif
    };
    for (const auto &c : cases) {
        const Result result = run(dir.path, "rm -rf ports; " + c.command);
        EXPECT_TRUE(result.status == 77 || result.output == c.told) << c.command << "\n"
                                                                    << result.output;
    }
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
            const pid_t child = forked([&] {
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
                return false;
            });
            // Ten seconds at most: a hung unload is killed and told.
            int status = -1;
            const bool ended =
                eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000);
            if (!ended) {
                kill(child, SIGKILL), waitpid(child, &status, 0);
            }
            ASSERT_TRUE(ended && status == 0)
                << c.name << " round " << round << ": " << (ended ? "status " : "hung ") << status;
        }
    }
}

// Whether the file at the path gets writes from `writer` again.
bool reached_by(pid_t writer)
{
    return eventually(
        [&] {
            watch::Port *port = nullptr;
            char why[1024];
            bool seen = false;
            if (watch::open(0x3BC, &port, why, sizeof why) == watch::opened) {
                watch::Write last[4];
                const size_t n = watch::recent_writes(port, last, 4);
                seen = n > 0 && last[n - 1].pid == static_cast<uint32_t>(writer);
                watch::close(port);
            }
            return seen;
        },
        10000);
}

// Two threads of a program write in a loop while the file is given up (as
// a program that found it grown and mapped elsewhere does), grown and made
// anew in place, or removed and made anew: the writers always end up on
// the file at the path, where other programs and lptmon look.
TEST_F(VirtualPort, WritersBusyInALoopEndUpOnTheFileAtThePath)
{
    testing::internal::CaptureStderr(); // the writer tells of the shrinking
    const pid_t writer = start([](inp_fn, out_fn out) {
        out(0x3BC, 1);
        auto loop = [&] {
            for (;;) {
                out(0x3BC, 2);
            }
        };
        std::thread other(loop);
        loop();
        return true;
    });
    ASSERT_TRUE(reached_by(writer));
    for (int round = 0; round < 12; ++round) {
        bool fresh = false;
        state_file::Mapped old;
        if (round % 3 == 2) {
            ASSERT_EQ(unlink(state_file.c_str()), 0);
        } else if (round % 3 == 1) {
            ASSERT_EQ(truncate(state_file.c_str(), sizeof(vport::State) + 4096), 0);
        } else {
            ASSERT_EQ(state_file::open(state_file.c_str(), sizeof(vport::State), true, &old, &fresh,
                                       why, sizeof why),
                      vport::opened)
                << why;
            __atomic_store_n(&static_cast<vport::State *>(old.mapping.view)->magic,
                             vport::retired_magic, __ATOMIC_SEQ_CST);
            state_file::give_up(state_file.c_str(), &old);
        }
        ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
        vport::write(port.state, vport::control, 0x0C);
        vport::close(&port);
        EXPECT_TRUE(reached_by(writer)) << "round " << round;
    }
    kill(writer, SIGKILL);
    exit_status(writer);
    testing::internal::GetCapturedStderr();
}

// Two watchers, each switching its own input many times at once: no change
// undoes another's, and each shows in the history as a change of one bit.
TEST_F(VirtualPort, TwoWatchersSwitchingTheirOwnInputsAtOnceLoseNoChange)
{
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    // Until each has seen the other's input change often, as the two may
    // not run at once on a busy machine; all kept in the history.
    const int least = 2000, most = vport::history_length / 2 - 100;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    auto watcher = [&](int pin, int other_pin) {
        return forked([&] {
            watch::Port *mine = nullptr;
            bool ok = watch::open_to_set(0x3BC, &mine, why, sizeof why) == watch::opened;
            close(go[1]);
            ok = ok && read(go[0], why, 1) == 0; // both start at once
            const watch::Pin &input = *watch::input_at(pin), &other = *watch::input_at(other_pin);
            bool other_was = true;
            int seen = 0;
            for (int i = 0; ok && i < most && (i < least || seen < least); ++i) {
                const uint8_t value = watch::read(mine, watch::status);
                seen += watch::pin_high(other, value) != other_was;
                other_was = watch::pin_high(other, value);
                ok = watch::set_input(mine, input, !watch::pin_high(input, value), why, sizeof why);
            }
            return ok;
        });
    };
    pid_t a = watcher(15, 13), b = watcher(13, 15);
    close(go[0]);
    close(go[1]);
    EXPECT_EQ(exit_status(a), 0);
    EXPECT_EQ(exit_status(b), 0);
    std::vector<vport::Write> writes(vport::history_length);
    writes.resize(vport::recent_writes(port.state, writes.data(), writes.size()));
    ASSERT_GE(writes.size(), 2u * least);
    uint8_t before = vport::status_at_start;
    for (const vport::Write &write : writes) {
        ASSERT_EQ(__builtin_popcount(write.value ^ before), 1) << write.number;
        before = write.value;
    }
    EXPECT_EQ(vport::read(port.state, vport::status), before);

    // A watcher that died while changing an input does not keep the others
    // from theirs.
    const pid_t died = forked([] { return true; });
    exit_status(died);
    port.state->status_setter = static_cast<uint32_t>(died);
    watch::Port *after = nullptr;
    ASSERT_EQ(watch::open_to_set(0x3BC, &after, why, sizeof why), watch::opened) << why;
    EXPECT_TRUE(watch::set_input(after, *watch::input_at(12), false, why, sizeof why));
    EXPECT_EQ(vport::read(port.state, vport::status), before & ~0x20);
    watch::close(after);

    // One stalled inside its change for over a second (held at its first
    // write to its record's page until told) loses the lock to the next:
    // each change then keeps the other's, and the history shows each once.
    const uint8_t now = vport::read(port.state, vport::status);
    const uint64_t from = vport::write_count(port.state);
    static int stalled[2], resume[2];
    ASSERT_EQ(pipe(stalled) | pipe(resume), 0);
    const pid_t slow = forked([&] {
        stop_at_write(&port.state->history[(from + 1) % vport::history_length], [](int) {
            char c = 0;
            (void)!write(stalled[1], &c, 1);
            (void)!read(resume[0], &c, 1);
            mprotect(held_page, getpagesize(), PROT_READ | PROT_WRITE);
        });
        vport::set_status_bit(port.state, 0x08, (now & 0x08) == 0);
        return true;
    });
    close(stalled[1]);
    char c = 0;
    ASSERT_EQ(read(stalled[0], &c, 1), 1);
    vport::set_status_bit(port.state, 0x10, (now & 0x10) == 0);
    ASSERT_EQ(write(resume[1], &c, 1), 1);
    EXPECT_EQ(exit_status(slow), 0);
    uint64_t missed = 1;
    ASSERT_EQ(vport::writes_after(port.state, from, writes.data(), 8, &missed), 2u);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(writes[1].value, now ^ 0x18);
    EXPECT_EQ(vport::read(port.state, vport::status), now ^ 0x18);
    vport::close(&port);
}

// A real port's program records its writes with its device: each write
// keeps its own, also among the virtual port's own writes, and the inputs
// are wires only while that program runs, also as pid 1 of a pid namespace
// of its own (a container's; root only), whatever process has its id once
// it ended (here: init).
TEST_F(VirtualPort, EachWriteKeepsItsDeviceAndARealPortsInputsAreWiresWhileItsProgramRuns)
{
    watch::Port *watcher = nullptr;
    ASSERT_EQ(watch::open_to_set(0x3BC, &watcher, why, sizeof why), watch::opened) << why;
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    const bool contained = exit_status(forked([] { return unshare(CLONE_NEWPID) == 0; })) == 0;
    if (!contained) {
        std::cout << "[ SKIPPED  ] the program as pid 1 of a namespace: unshare needs root\n";
    }
    int ended[2];
    ASSERT_EQ(pipe(ended), 0);
    const pid_t program = forked([&] {
        if (contained && unshare(CLONE_NEWPID) != 0) {
            return false;
        }
        const pid_t inner = forked([&] { // pid 1 when contained
            close(ended[1]);
            void *own = nullptr, *record = nullptr;
            virtual_backend.open(0x3BC, &own, why, sizeof why);
            virtual_backend.open(0x3BC, &record, why, sizeof why);
            virtual_backend.write(own, vport::data, 1);
            lpt_write_marked(record, vport::data, 2, vport::device_mark("/dev/parport9"));
            virtual_backend.write(own, vport::data, 3);
            lpt_write_marked(record, vport::data, 4,
                             vport::device_mark("0x378 through\ntheir.dll"));
            lpt_write_marked(record, vport::data, 5, vport::device_mark("/dev/parport9"));
            return read(ended[0], why, 1) == 0; // runs on until let go
        });
        close(ended[1]);
        return exit_status(inner) == 0;
    });
    close(ended[0]);
    watch::Write writes[8];
    uint64_t missed = 1;
    ASSERT_TRUE(eventually([&] { return watch::writes_after(watcher, 0, writes, 8, &missed) == 5; },
                           10000));
    EXPECT_EQ(missed, 0u);
    std::string devices;
    for (int i = 0; i < 5; ++i) {
        char name[80] = "?";
        devices +=
            std::to_string(writes[i].value) + " " +
            (watch::device_name(watcher, writes[i].device, name, sizeof name) ? name : "own") +
            ", ";
    }
    EXPECT_EQ(devices,
              "1 own, 2 /dev/parport9, 3 own, 4 0x378 through?their.dll, 5 /dev/parport9, ");
    EXPECT_TRUE(!contained || writes[4].pid == 1);
    const watch::Pin &busy = *watch::input_at(11);
    EXPECT_FALSE(watch::set_input(watcher, busy, false, why, sizeof why));
    EXPECT_STREQ(why, "port 0x3BC is the real port /dev/parport9: its inputs are wires, not "
                      "ours to set");
    // The program ended: nothing drives the lines any more.
    close(ended[1]);
    EXPECT_EQ(exit_status(program), 0);
    port.state->last_device = vport::device_word(1, writes[4].device);
    EXPECT_TRUE(watch::set_input(watcher, busy, false, why, sizeof why)) << why;
    EXPECT_EQ(watch::read(watcher, watch::status), vport::status_at_start | 0x80);
    watch::close(watcher);
    vport::close(&port);
}

// A watcher that follows the port gets every write after the one it names,
// in order, or counts those it could not get: none is told twice or lost uncounted, also while a
// writer outruns it, and one still being made is waited for unless its writer died making it.
TEST_F(VirtualPort, WritesAfterANumberComeInOrderAndThoseNotKeptAreCounted)
{
    const uint64_t total = vport::history_length + 100;
    const auto counting = [](uint64_t i) { return static_cast<short>(i & 0xFF); };
    ASSERT_EQ(exit_status(writes_of(total, counting)), 0);
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    std::vector<vport::Write> writes(total);
    uint64_t missed = 0;
    ASSERT_EQ(vport::writes_after(port.state, 0, writes.data(), writes.size(), &missed),
              vport::history_length);
    EXPECT_EQ(missed, 100u);
    EXPECT_EQ(writes[0].number, 101u);
    EXPECT_EQ(vport::writes_after(port.state, total - 2, writes.data(), 8, &missed), 2u);

    // A write numbered and not yet made holds back the ones after it.
    const uint64_t in_flight = vport::take_number(port.state);
    vport::write(port.state, vport::data, 0x22);
    EXPECT_EQ(vport::writes_after(port.state, total, writes.data(), 8, &missed), 0u);
    vport::write_numbered(port.state, in_flight, vport::data, 0x11);
    ASSERT_EQ(vport::writes_after(port.state, total, writes.data(), 8, &missed), 2u);
    EXPECT_EQ(writes[0].value, 0x11);
    EXPECT_EQ(writes[1].value, 0x22);

    // Followed while written as fast as a program can: each write read once
    // or counted, its value the writer's.
    const uint64_t start_at = vport::write_count(port.state), more = 300000;
    const pid_t fast = writes_of(more, counting);
    uint64_t after = start_at, read_in_order = 0, counted = 0;
    bool in_order = true;
    while (after < start_at + more &&
           eventually([&] { return vport::write_count(port.state) > after; }, 10000)) {
        const size_t n = vport::writes_after(port.state, after, writes.data(), 4096, &missed);
        counted += missed;
        after += missed;
        for (size_t i = 0; i < n; ++i) {
            in_order = in_order && writes[i].number == ++after &&
                       writes[i].value == ((after - start_at) & 0xFF);
        }
        read_in_order += n;
    }
    EXPECT_EQ(exit_status(fast), 0);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(read_in_order + counted, more);

    // Numbered before another program rebuilt the damaged file and latched
    // after it: the next writes reach the register at once, and the file
    // does not look damaged to watchers meanwhile.
    const uint64_t through = vport::take_number(port.state);
    port.state->magic = 0;
    ASSERT_EQ(run(dir.path, probe + " 3bc=22").output, "init=0\n");
    vport::write_numbered(port.state, through, vport::data, 0x33);
    EXPECT_TRUE(vport::valid(port.state, 0x3BC));
    EXPECT_EQ(run(dir.path, probe + " 3bc 3bc=44; " + probe + " 3bc").output,
              "init=0 3bc=33\ninit=0 3bc=44\n");
    ASSERT_EQ(vport::recent_writes(port.state, writes.data(), 8), 3u);
    EXPECT_EQ(writes[1].value, 0x33);

    // Writers that died halfway through a write, in the file made anew: one
    // that had only claimed its slot is no write of zeros, and is counted
    // missed after a second of a watcher's looks. One killed at its latch
    // (its page read-only) never wrote: counted missed at once, the port
    // reads the write before, and the writes after it are told. One killed
    // after its latch, before its record, is told with the value it latched.
    const uint64_t claimed = vport::take_number(port.state);
    port.state->history[claimed].tag = claimed;
    vport::Awaited awaited;
    const auto watcher = [&] {
        return vport::writes_after(port.state, claimed - 1, writes.data(), 8, &missed, &awaited);
    };
    EXPECT_EQ(watcher(), 0u);
    EXPECT_TRUE(eventually([&] { return watcher() == 0 && missed == 1; }, 10000));
    const auto page = [](const void *at) { return uintptr_t(at) / getpagesize(); };
    do {
        vport::write(port.state, vport::data, 0x04);
    } while (
        page(&port.state->history[(vport::write_count(port.state) + 1) % vport::history_length]) ==
        page(port.state));
    const uint64_t doomed = vport::take_number(port.state);
    exit_status(forked([&] {
        stop_at_write(port.state, [](int) { _exit(0); });
        vport::write_numbered(port.state, doomed, vport::data, 0xA5);
        return true;
    }));
    EXPECT_EQ(vport::read(port.state, vport::data), 0x04);
    exit_status(forked([&] {
        const uint64_t latched = vport::take_number(port.state);
        vport::claim_slot(port.state, latched);
        port.state->registers[vport::data] = vport::register_word(latched, 0x5A);
        return true;
    }));
    ASSERT_EQ(vport::writes_after(port.state, doomed - 1, writes.data(), 8, &missed), 1u);
    EXPECT_EQ(missed, 1u);
    EXPECT_EQ(writes[0].value, 0x5A);
    vport::close(&port);
}

} // namespace
