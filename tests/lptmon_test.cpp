// lptmon: how a short history is drawn into the timing strip, and the
// program's --once, --log and live views against a state that the port
// library wrote, a missing state and a damaged one.
#include "ports.h"
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

    // Started with its output closed, it must not print into the state file.
    lptmon(" --once >&-");
    EXPECT_EQ(lptmon(" --once").output, once.output);

    write_file(dir / "ports/lpt-3bc.state", std::string(sizeof(vport::State), 'x'));
    Result corrupt = lptmon(" --once");
    EXPECT_EQ(corrupt.status, 1);
    EXPECT_NE(corrupt.output.find("damaged"), std::string::npos) << corrupt.output;
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

TEST_F(Lptmon, OnceRefusesWhatTheLibraryRefusesAndAPortOnlyRead)
{
    // Only read, never written: the file exists, but holds no write.
    setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1);
    setenv("LPT_BACKEND", "virtual", 1);
    lpt_read(0x3BC);
    lpt_close_ports();
    unsetenv("LPT_BACKEND");
    unsetenv("LPT_VIRTUAL_DIR");
    Result only_read = lptmon(" --once");
    EXPECT_EQ(only_read.status, 1) << only_read.output;
    EXPECT_NE(only_read.output.find("port 0x3BC has never been written"), std::string::npos)
        << only_read.output;

    // A folder others can write: both refuse it with the same words.
    run(dir.path, "chmod 777 ports");
    Result library = run(dir.path, env + PROBE_PATH), monitor = lptmon(" --once");
    const std::string words =
        dir / "ports is writable by others; run: chmod 700 " + (dir / "ports");
    EXPECT_NE(library.output.find("inpout32: virtual port: " + words), std::string::npos)
        << library.output;
    EXPECT_EQ(monitor.output, "lptmon: " + words + "\n");
    EXPECT_EQ(monitor.status, 1);
    // A second link to the file: not ours to trust.
    run(dir.path, "chmod 700 ports && ln ports/lpt-3bc.state linked");
    EXPECT_NE(lptmon(" --once").output.find("is not a plain file of yours"), std::string::npos);
}

TEST_F(Lptmon, LogSurvivesAShrunkLockedOrRebuiltFileAndFollowsIt)
{
    const std::string file = dir / "ports/lpt-3bc.state";
    write_through_library();
    Pty log = watch(" --log");
    ASSERT_TRUE(log.wait_for("  data    0x01 00000001  pid ", 3000)) << log.output();
    // Shrunk under it: no crash; the library makes it anew and the log goes on.
    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    write_through_library();
    ASSERT_TRUE(log.wait_for("  data    0x01 00000001  pid ", 3000, 2)) << log.output();
    // Damaged in place and rebuilt with more writes: every new one is shown.
    write_file(file, std::string(sizeof(vport::State), 'x'));
    for (int i = 0; i < 3; ++i) {
        write_through_library();
    }
    ASSERT_TRUE(log.wait_for("  data    0x01 00000001  pid ", 3000, 5)) << log.output();
    // Replaced by a file held locked: it says so and still ends on Ctrl+C.
    write_file(file + ".new", "");
    int held = open((file + ".new").c_str(), O_RDWR);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    ASSERT_TRUE(log.wait_for("is locked by another program; waiting", 3000)) << log.output();
    log.send("\x03");
    EXPECT_TRUE(log.wait_exit(3000)) << log.output();
    close(held);
}

} // namespace
