// lptmon: how a short history is drawn into the timing strip, and the
// program's --once, --log and live views against a state that the port
// library wrote, a missing state and a damaged one.
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace support;

namespace {

const uint64_t second = 1000000000ull;

TEST(LptmonRender, TimingStripShowsEachDataLineAndShortTerminalsKeepD1D0)
{
    lptmon::Snapshot snapshot;
    snapshot.now_ns = 100 * second;
    snapshot.complete = true; // nothing dropped: the lines were low before
    snapshot.writes = {{1, 97 * second, vport::data, 1, 1},
                       {2, 98 * second, vport::data, 2, 1},
                       {3, 98 * second + 1, vport::control, 0xFF, 1}, // not a data line
                       {4, 99 * second, vport::data, 0, 1}};
    // Four seconds in eight columns, oldest on the left; D7 first.
    auto strip = lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs);
    EXPECT_EQ(strip, (std::vector<std::string>{"________", "________", "________", "________",
                                               "________", "________", "___##___", "_##_____"}));
    snapshot.complete = false; // before the history, unknown
    EXPECT_EQ(lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs)[7], " ##_____");

    // Short of rows, the driven lines D1 and D0 are the ones kept.
    auto lines = lptmon::screen(snapshot, 14, 60, lptmon::unicode_glyphs);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[11].substr(0, 2) + lines[12].substr(0, 2), "D1D0");
}

class Lptmon : public ::testing::Test {
  protected:
    // The port library writes 1 to 0x3BC, in a program of its own.
    void write_through_library() { ASSERT_EQ(run(dir.path, env + PROBE_PATH).status, 0); }
    Result lptmon(const std::string &arguments)
    {
        return run(dir.path, env + LPTMON_PATH + arguments);
    }
    Pty watch(const std::string &arguments)
    {
        return Pty(dir.path, {"/bin/sh", "-c", "exec " LPTMON_PATH + arguments},
                   {"LPT_VIRTUAL_DIR=" + (dir / "ports")});
    }
    TempDir dir;
    const std::string env = "LPT_VIRTUAL_DIR=" + (dir / "ports") + " ";
};

TEST_F(Lptmon, OnceTellsTheDataRegisterOrWhyNot)
{
    Result missing = lptmon(" --once");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("port 0x3BC has never been written"), std::string::npos);

    write_through_library();
    Result once = lptmon(" --once --port 0x3BE");
    EXPECT_EQ(once.status, 0);
    EXPECT_EQ(once.output, "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001\n");

    write_file(dir / "ports/lpt-3bc.state", std::string(sizeof(vport::State), 'x'));
    Result corrupt = lptmon(" --once");
    EXPECT_EQ(corrupt.status, 1);
    EXPECT_NE(corrupt.output.find("corrupt"), std::string::npos) << corrupt.output;
}

TEST_F(Lptmon, LogWaitsForStateThenFollowsNewWritesUntilInterrupted)
{
    Pty log = watch(" --log");
    ASSERT_TRUE(log.wait_for("no state yet", 3000)) << log.output();
    write_through_library();
    ASSERT_TRUE(log.wait_for("  data    0x01 00000001  pid ", 3000)) << log.output();
    write_through_library();
    ASSERT_TRUE(log.wait_for("+", 3000)) << log.output(); // with the gap to the one before
    ASSERT_TRUE(log.wait_for("  data    0x01 00000001  pid ", 3000, 2)) << log.output();
    log.send("\x03");
    EXPECT_TRUE(log.wait_exit(3000));
}

TEST_F(Lptmon, LiveViewRedrawsInPlaceAndGivesTheTerminalBack)
{
    write_through_library();
    Pty live = watch("");
    ASSERT_TRUE(live.wait_for("D0  ", 3000)) << live.output();
    EXPECT_NE(live.output().find("\x1b[?1049h\x1b[?25l"), std::string::npos);
    EXPECT_NE(live.output().find("data     0x3BC  0x01  00000001"), std::string::npos);
    live.send("\x03");
    ASSERT_TRUE(live.wait_exit(3000));
    const std::string restore = "\x1b[?25h\x1b[?1049l";
    EXPECT_EQ(live.output().substr(live.output().size() - restore.size()), restore);
}

} // namespace
