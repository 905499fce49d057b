// The virtual port's file: private, bounded, made anew when damaged, never
// trusted, and followed by its writers wherever it is remade; what a
// program is told of it, byte for byte.
#include "vport_state_file.h"
#include "vport_support.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>

using namespace vport_support;

namespace {

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

} // namespace
