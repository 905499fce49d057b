// The virtual port behind the port library: a latch shared by processes, safe
// under concurrent writers, bounded, and never trusting a damaged file.
#include "support.h"
#include "vport.h"

#include <gtest/gtest.h>

#include <functional>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace support;

namespace {

typedef short (*inp_fn)(short);
typedef void (*out_fn)(short, short);

class VirtualPort : public ::testing::Test {
  protected:
    void SetUp() override { setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1); }
    void TearDown() override { unsetenv("LPT_VIRTUAL_DIR"); }

    // In a process of its own, loads the port library as the blinker does and
    // runs `body` with its entries.
    template <typename Body> pid_t in_child(Body body)
    {
        pid_t child = fork();
        if (child == 0) {
            void *library = dlopen(INPOUT32_PATH, RTLD_NOW);
            if (library == nullptr) {
                _exit(2);
            }
            body(reinterpret_cast<inp_fn>(dlsym(library, "Inp32")),
                 reinterpret_cast<out_fn>(dlsym(library, "Out32")));
            dlclose(library);
            _exit(0);
        }
        return child;
    }

    static void expect_clean_exit(pid_t child)
    {
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    vport::Port open_port()
    {
        vport::Port port;
        std::string why;
        EXPECT_TRUE(vport::open_shared(0x3BC, &port, &why)) << why;
        return port;
    }

    std::string state_file() const { return dir / "ports/lpt-3bc.state"; }

    TempDir dir;
};

TEST_F(VirtualPort, LatchesValuesAcrossProcesses)
{
    expect_clean_exit(in_child([](inp_fn, out_fn out) {
        out(0x3BC, 0x155); // a register is eight bits: 0x55 reaches the lines
        out(0x3BE, 0x0A);  // control
        out(0x3BD, 0x00);  // status lines are inputs: no effect
    }));
    expect_clean_exit(in_child([](inp_fn inp, out_fn) {
        if (inp(0x3BC) != 0x55 || inp(0x3BD) != vport::status_idle || inp(0x3BE) != 0x0A ||
            inp(0x378) != 0) {
            _exit(1);
        }
    }));
    struct stat st;
    ASSERT_EQ(stat((dir / "ports").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(state_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(VirtualPort, ConcurrentWritersLoseNoWriteAndTearNoRecord)
{
    const int each = 20000;
    pid_t a = in_child([&](inp_fn, out_fn out) {
        for (int i = 0; i < each; ++i) {
            out(0x3BC, 0x11);
        }
    });
    pid_t b = in_child([&](inp_fn, out_fn out) {
        for (int i = 0; i < each; ++i) {
            out(0x3BC, 0x22);
        }
    });
    expect_clean_exit(a);
    expect_clean_exit(b);

    vport::Port port = open_port();
    EXPECT_EQ(port.state->next_write.load(), 2u * each + 1);
    static vport::Write history[vport::history_length];
    size_t n = vport::recent_writes(port.state, history, vport::history_length);
    ASSERT_EQ(n, vport::history_length);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(history[i].number, 2u * each - n + 1 + i);
        // Whole records: each value with the process that wrote it.
        EXPECT_EQ(history[i].pid, static_cast<uint32_t>(history[i].value == 0x11 ? a : b));
        EXPECT_EQ(history[i].reg, vport::data);
    }
    // The history is bounded: the file keeps its size.
    struct stat st;
    ASSERT_EQ(stat(state_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof(vport::State)));
    // The latch holds the value of the last write by number.
    EXPECT_EQ(vport::read(port.state, vport::data), history[n - 1].value);
    vport::close(&port);
}

TEST_F(VirtualPort, DamagedOrForeignFileIsRebuiltNeverTrusted)
{
    const std::string outside = dir / "outside.txt";
    const std::vector<std::function<void()>> damage = {
        [&] { write_file(state_file(), std::string(sizeof(vport::State), '\xff')); },
        [&] { write_file(state_file(), "VTPL"); },
        [&] {
            write_file(outside, "keep me");
            ASSERT_EQ(symlink(outside.c_str(), state_file().c_str()), 0);
        },
        [&] { ASSERT_EQ(mkfifo(state_file().c_str(), 0600), 0); },
        [&] {
            vport::Port port = open_port();
            vport::write(port.state, vport::data, 7);
            vport::close(&port);
            chmod(state_file().c_str(), 0666);
        },
    };
    mkdir((dir / "ports").c_str(), 0700);
    for (size_t i = 0; i < damage.size(); ++i) {
        unlink(state_file().c_str());
        damage[i]();
        vport::Port port = open_port();
        ASSERT_NE(port.state, nullptr) << "damage " << i;
        EXPECT_TRUE(vport::valid(port.state, 0x3BC)) << "damage " << i;
        EXPECT_EQ(vport::read(port.state, vport::status), vport::status_idle);
        vport::close(&port);
        struct stat st;
        ASSERT_EQ(lstat(state_file().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "damage " << i;
    }
    EXPECT_EQ(read_file(outside), "keep me");
}

TEST_F(VirtualPort, FolderOthersCanWriteIsRefusedWithTheFix)
{
    mkdir((dir / "ports").c_str(), 0700);
    chmod((dir / "ports").c_str(), 0777);
    vport::Port port;
    std::string why;
    EXPECT_FALSE(vport::open_shared(0x3BC, &port, &why));
    EXPECT_NE(why.find("chmod 700 " + (dir / "ports")), std::string::npos) << why;

    // The library still latches, in the program only, and says why and what
    // to do, once.
    Result result = run({PROBE_PATH}, dir.path, {}, nullptr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(count(result.output, "inpout32: virtual port: "), 1u) << result.output;
    EXPECT_EQ(count(result.output, "chmod 700"), 1u) << result.output;
    EXPECT_EQ(count(result.output, "kept in this program only"), 1u) << result.output;
    EXPECT_NE(result.output.find("init=0 inp=0x0\n"), std::string::npos) << result.output;
}

} // namespace
