// lptmon: how a register value and a short history are drawn, and the
// program's --once, --log and live views against a state that the port
// library wrote, a missing state and a damaged one.
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace support;

namespace {

const uint64_t second = 1000000000ull;

TEST(LptmonRender, RegisterValueAsLedsHexAndBinary)
{
    EXPECT_EQ(lptmon::leds(0x02, lptmon::ascii_glyphs), "( )( )( )( )( )( )(*)( )");
    EXPECT_EQ(lptmon::state_line(0x3BC, 0x81),
              "port 0x3BC  D7-D0 (*)( )( )( )( )( )( )(*)  data 0x81 10000001");
    vport::Write write{7, 12 * second + 500000000, vport::control, 0x0C, 42};
    EXPECT_EQ(lptmon::write_line(write, 11 * second + 500000000),
              "12.500000  +1.000000  control 0x0C 00001100  pid 42");
}

TEST(LptmonRender, TimingStripShowsEachDataLineOverTime)
{
    lptmon::Snapshot snapshot;
    snapshot.now_ns = 100 * second;
    snapshot.complete = true; // nothing dropped: the line was 0 before
    snapshot.writes = {{1, 97 * second, vport::data, 1, 1},
                       {2, 98 * second, vport::data, 2, 1},
                       {3, 98 * second + 1, vport::control, 0xFF, 1}, // not a data line
                       {4, 99 * second, vport::data, 0, 1}};
    // Four seconds in eight columns of half a second, oldest on the left.
    std::vector<std::string> strip =
        lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs);
    ASSERT_EQ(strip.size(), 8u);
    EXPECT_EQ(strip[6], "___##___"); // D1
    EXPECT_EQ(strip[7], "_##_____"); // D0
    EXPECT_EQ(strip[0], "________"); // D7

    // With older writes dropped, what came before the history is unknown.
    snapshot.complete = false;
    strip = lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs);
    EXPECT_EQ(strip[7], " ##_____");
}

TEST(LptmonRender, SmallTerminalGetsOneLineNotAGarbledBoard)
{
    lptmon::Snapshot snapshot;
    snapshot.registers[vport::data] = 1;
    std::vector<std::string> lines = lptmon::screen(snapshot, 6, 30, lptmon::unicode_glyphs);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], lptmon::state_line(0x3BC, 1).substr(0, 30));

    // Short of rows, the driven lines D1 and D0 are the ones kept.
    lines = lptmon::screen(snapshot, 14, 60, lptmon::unicode_glyphs);
    EXPECT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[lines.size() - 2].substr(0, 2), "D0");
    EXPECT_EQ(lines[lines.size() - 3].substr(0, 2), "D1");
}

class Lptmon : public ::testing::Test {
  protected:
    std::vector<std::string> env() const { return {"LPT_VIRTUAL_DIR=" + (dir / "ports")}; }
    // The port library writes 1 to 0x3BC, in a program of its own.
    void write_through_library()
    {
        ASSERT_EQ(run({PROBE_PATH}, dir.path, env(), nullptr).status, 0);
    }
    TempDir dir;
};

TEST_F(Lptmon, OnceTellsTheDataRegisterOrWhyNot)
{
    Result missing = run({LPTMON_PATH, "--once"}, dir.path, env(), nullptr);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("port 0x3BC has never been written"), std::string::npos);

    write_through_library();
    Result once = run({LPTMON_PATH, "--once", "--port", "0x3BE"}, dir.path, env(), nullptr);
    EXPECT_EQ(once.status, 0);
    EXPECT_EQ(once.output, "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001\n");

    write_file(dir / "ports/lpt-3bc.state", std::string(sizeof(vport::State), 'x'));
    Result corrupt = run({LPTMON_PATH, "--once"}, dir.path, env(), nullptr);
    EXPECT_EQ(corrupt.status, 1);
    EXPECT_NE(corrupt.output.find("corrupt"), std::string::npos) << corrupt.output;
}

TEST_F(Lptmon, LogFollowsNewWritesUntilInterrupted)
{
    Pty pty(dir.path, "exec " LPTMON_PATH " --log", env());
    ASSERT_TRUE(pty.wait_for("no state yet", 3000)) << pty.output();
    write_through_library();
    ASSERT_TRUE(pty.wait_for("  data    0x01 00000001  pid ", 3000)) << pty.output();
    write_through_library();
    ASSERT_TRUE(pty.wait_for("  data    0x01 00000001  pid ", 3000, 2)) << pty.output();
    pty.send("\x03");
    ASSERT_TRUE(pty.wait_exit(3000));
    EXPECT_EQ(count(pty.output(), "data    0x01"), 2u) << pty.output();
}

TEST_F(Lptmon, LiveViewRedrawsInPlaceAndGivesTheTerminalBack)
{
    write_through_library();
    Pty pty(dir.path, "exec " LPTMON_PATH, env());
    ASSERT_TRUE(pty.wait_for("D0  ", 3000)) << pty.output();
    EXPECT_NE(pty.output().find("\x1b[?1049h\x1b[?25l"), std::string::npos);
    EXPECT_NE(pty.output().find("data     0x3BC  0x01  00000001"), std::string::npos);
    pty.send("\x03");
    ASSERT_TRUE(pty.wait_exit(3000));
    const std::string &out = pty.output();
    const std::string restore = "\x1b[?25h\x1b[?1049l";
    ASSERT_GE(out.size(), restore.size());
    EXPECT_EQ(out.substr(out.size() - restore.size()), restore);
}

} // namespace
