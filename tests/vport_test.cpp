// The virtual port behind the port library: a latch shared by processes, safe
// under concurrent writers, bounded, and never trusting a damaged file.
#include "support.h"
#include "vport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace support;

namespace {

typedef short (*inp_fn)(short);
typedef void (*out_fn)(short, short);

// In a process of its own, loads the port library as the blinker does and
// runs `body`; its exit status tells whether `body` held.
pid_t in_child(const std::function<bool(inp_fn, out_fn)> &body)
{
    pid_t child = fork();
    if (child == 0) {
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

TEST_F(VirtualPort, LatchesValuesAcrossProcessesInPrivateFiles)
{
    EXPECT_EQ(exit_status(in_child([](inp_fn, out_fn out) {
                  out(0x3BC, 0x155); // a register is eight bits: 0x55 reaches the lines
                  out(0x3BE, 0x0A);  // control
                  out(0x3BD, 0x00);  // status lines are inputs: no effect
                  return true;
              })),
              0);
    EXPECT_EQ(exit_status(in_child([](inp_fn inp, out_fn) {
                  return inp(0x3BC) == 0x55 && inp(0x3BD) == vport::status_idle &&
                         inp(0x3BE) == 0x0A && inp(0x378) == 0;
              })),
              0);
    EXPECT_EQ(mode_of(dir / "ports") & 0777, 0700u);
    EXPECT_EQ(mode_of(state_file) & 0777, 0600u);
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
    std::string why;
    ASSERT_TRUE(vport::open_existing(0x3BC, &port, &why)) << why;
    EXPECT_EQ(port.state->next_write.load(), 2u * each + 1);
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

TEST_F(VirtualPort, DamagedOrForeignFileIsRebuiltNeverTrusted)
{
    const std::string outside = dir / "outside.txt";
    const std::vector<std::string> damage = {
        "head -c " + std::to_string(sizeof(vport::State)) + " /dev/zero | tr '\\0' x > " +
            state_file,
        "printf VTPL > " + state_file,
        "echo keep me > " + outside + " && ln -s " + outside + " " + state_file,
        "mkfifo " + state_file, "echo > " + state_file + " && chmod 666 " + state_file};
    for (const std::string &command : damage) {
        run(dir.path, "mkdir -p -m 700 ports && rm -f " + state_file + " && " + command);
        vport::Port port;
        std::string why;
        ASSERT_TRUE(vport::open_shared(0x3BC, &port, &why)) << command << ": " << why;
        EXPECT_TRUE(vport::valid(port.state, 0x3BC)) << command;
        vport::close(&port);
        EXPECT_TRUE(S_ISREG(mode_of(state_file))) << command;
        EXPECT_EQ(mode_of(state_file) & 0777, 0600u) << command;
    }
    EXPECT_EQ(read_file(outside), "keep me\n");
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

} // namespace
