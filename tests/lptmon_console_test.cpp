// lptmon as its user meets it: the one-line view of a small terminal, its
// arguments, every way to end it with the terminal given back, and a reader
// of its output that goes away.
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace support;

namespace {

TEST(LptmonOneLine, FitsTheTerminalAndKeepsTheDataValue)
{
    lptmon::Snapshot snapshot;
    snapshot.registers[vport::data] = 1;
    const struct {
        int cols;
        const lptmon::Glyphs &glyphs;
        std::string line;
    } cases[] = {
        {64, lptmon::ascii_glyphs,
         "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001"},
        {61, lptmon::ascii_glyphs, "0x3BC ( )( )( )( )( )( )( )(*) 0x01 00000001"},
        {40, lptmon::ascii_glyphs, "( )( )( )( )( )( )( )(*) 0x01"},
        {40, lptmon::unicode_glyphs,
         "0x3BC \u25cb\u25cb\u25cb\u25cb\u25cb\u25cb\u25cb\u25cf 0x01 00000001"},
        {20, lptmon::ascii_glyphs, "0x01 00000001"},
        {4, lptmon::ascii_glyphs, "0x01"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(lptmon::screen(snapshot, 6, c.cols, c.glyphs), std::vector<std::string>{c.line})
            << c.cols << " columns";
    }
}

class LptmonConsole : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(run(dir.path, env + PROBE_PATH).status, 0); } // writes 1
    TempDir dir;
    const std::string env = "LPT_VIRTUAL_DIR=" + (dir / "ports") + " ";
};

TEST_F(LptmonConsole, MissingValueAndClosedOutputAreToldAndHarmNothing)
{
    Result missing = run(dir.path, env + LPTMON_PATH " --port");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.output.substr(0, 43), "lptmon: --port needs a port address\nusage: ");
    // Its output closed, nothing of it may land in the port's state file.
    Result closed = run(dir.path, env + LPTMON_PATH " --log >&-; echo status=$?; " + env +
                                      LPTMON_PATH " --once");
    EXPECT_EQ(closed.output, "lptmon: standard output is closed\nstatus=1\n"
                             "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001\n");
}

// A reader that goes away ends lptmon while the port is idle, by SIGPIPE as a
// write would, or with status 1 where SIGPIPE is ignored. (Its status and
// head's line may come in either order.)
TEST_F(LptmonConsole, ClosedOutputEndsItWhileThePortIsIdle)
{
    const struct {
        std::string before, arguments, first_line, status;
    } cases[] = {
        {"", "", "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001", "141"},
        {"", " --log", "  data    0x01 00000001  pid ", "141"},
        {"trap '' PIPE; ", " --log", "  data    0x01 00000001  pid ", "1"},
    };
    for (const auto &c : cases) {
        Result result = run(dir.path, c.before + "{ " + env + LPTMON_PATH + c.arguments +
                                          "; echo lptmon=$? >&2; } | head -1");
        EXPECT_NE(result.output.find(c.first_line), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("lptmon=" + c.status + "\n"), std::string::npos)
            << c.before << c.arguments << ": " << result.output;
    }
}

struct Ending {
    const char *name;
    std::string arguments;
    std::vector<std::string> keys; // after each but the last, it is stopped
    int sig;                       // sent instead of keys
    int status;
    bool locked; // another program holds the state file's lock
};
void PrintTo(const Ending &e, std::ostream *os)
{
    *os << e.name;
}

// Reports how lptmon ended and whether the terminal mode is the one found
// before it, also while it is stopped; `set -m` gives it a job of its own.
const std::string wrapper =
    "set -m; ulimit -c 0; stty -g > before\n"
    "sh -c 'echo $$ > pid; exec \"$0\" \"$@\"' " LPTMON_PATH " \"$@\"\n"
    "s=$?\n"
    "if [ $s = 148 ]; then\n"
    "  stty -g > stopped; cmp -s before stopped && echo '[stopped mode=same]'\n"
    "  fg; s=$?\n"
    "fi\n"
    "stty -g > after; cmp -s before after && m=same || m=changed\n"
    "printf '\\n[exit=%s mode=%s]\\n' \"$s\" \"$m\"\n";

class LptmonEnding : public LptmonConsole, public ::testing::WithParamInterface<Ending> {};

TEST_P(LptmonEnding, EveryWayOutGivesTheTerminalBack)
{
    const Ending &e = GetParam();
    int lock = open((dir / "ports/lpt-3bc.state").c_str(), O_RDWR);
    if (e.locked) {
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
    }
    std::vector<std::string> argv = {"/bin/sh", "-c", wrapper, "sh"};
    if (!e.arguments.empty()) {
        argv.push_back(e.arguments);
    }
    Pty pty(dir.path, argv, {"LPT_VIRTUAL_DIR=" + (dir / "ports")});
    const std::string take = "\x1b[?1049h\x1b[?25l", give_back = "\x1b[?25h\x1b[?1049l";
    if (e.locked) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } else {
        ASSERT_TRUE(pty.wait_for("q quits", 5000)) << pty.output();
    }
    if (e.sig != 0) {
        kill(std::stoi(read_file(dir / "pid")), e.sig);
    }
    for (size_t i = 0; i < e.keys.size(); ++i) {
        pty.send(e.keys[i]);
        if (i + 1 < e.keys.size()) {
            ASSERT_TRUE(pty.wait_for("[stopped mode=same]", 5000)) << pty.output();
            ASSERT_TRUE(pty.wait_for(take, 5000, i + 2)) << "not taken again";
        }
    }
    ASSERT_TRUE(pty.wait_exit(5000)) << pty.output();
    const std::string &out = pty.output();
    EXPECT_NE(out.find("[exit=" + std::to_string(e.status) + " mode=same]"), std::string::npos)
        << out;
    const size_t takes = e.locked ? 0 : std::max<size_t>(1, e.keys.size());
    EXPECT_EQ(count(out, take), takes);
    EXPECT_EQ(count(out, give_back), takes);
    if (takes > 0) {
        EXPECT_LT(out.rfind(take), out.rfind(give_back)); // given back last
    }
    close(lock);
}

INSTANTIATE_TEST_SUITE_P(
    Lptmon, LptmonEnding,
    ::testing::Values(Ending{"Q", "", {"q"}, 0, 0, false},
                      Ending{"CtrlC", "", {"\x03"}, 0, 0, false},
                      Ending{"Term", "", {}, SIGTERM, 0, false},
                      Ending{"CtrlBackslash", "", {"\x1c"}, 0, 128 + SIGQUIT, false},
                      Ending{"Crash", "", {}, SIGSEGV, 128 + SIGSEGV, false},
                      Ending{"CtrlZThenQ", "", {"\x1a", "q"}, 0, 0, false},
                      Ending{"CtrlCWhileLocked", "--log", {"\x03"}, 0, 0, true}),
    [](const ::testing::TestParamInfo<Ending> &info) { return std::string(info.param.name); });

} // namespace
