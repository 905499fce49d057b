// What lptmon draws, from a short history and without a terminal: the
// timing strip, the live view at each size, the one-line view.
#include "render.h"

#include <gtest/gtest.h>

namespace {

const uint64_t second = 1000000000ull;

TEST(LptmonRender, StripShowsEachDataLineAndSmallTerminalsKeepTheDataValue)
{
    lptmon::Snapshot snapshot;
    snapshot.now_ns = 100 * second;
    snapshot.complete = true; // nothing dropped: the lines were low before
    snapshot.writes = {{1, 97 * second, watch::data, 1, 1},
                       {2, 98 * second, watch::data, 2, 1},
                       {3, 98 * second + 1, watch::control, 0xFF, 1}, // not a data line
                       {4, 99 * second, watch::data, 0, 1}};
    // Four seconds in eight columns, oldest on the left: the control pins
    // at their levels (nStrobe, nAutoFd, nSelectIn inverted), then D7 to D0.
    auto strip = lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs);
    EXPECT_EQ(strip[0] + strip[2] + strip[3] + strip[9] + strip[10] + strip[11],
              "####____########___________________##____##_____");
    snapshot.complete = false; // before the history, unknown
    EXPECT_EQ(lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs)[11], " ##_____");
    // Short of rows, the blank lines go first, then the strip's top rows,
    // which its title names: the driven lines D1 and D0 stay. The one screen
    // compared whole; on 80x24 the whole strip fits.
    snapshot.registers[watch::control] = 0x0C;
    snapshot.total_writes = 9;
    EXPECT_EQ(
        lptmon::screen(snapshot, 18, 80, lptmon::unicode_glyphs),
        (std::vector<std::string>{
            "Virtual parallel port 0x3BC    q quits", " D7  D6  D5  D4  D3  D2  D1  D0 ",
            "  ○   ○   ○   ○   ○   ○   ○   ○ ", "  9   8   7   6   5   4   3   2   DB-25 pins",
            "data     0x3BC  0x00  00000000", "status   0x3BD  0x00  00000000",
            "control  0x3BE  0x0C  00001100",
            "control 1 nStrobe ●  14 nAutoFd ●  16 nInit ●  17 nSelectIn ○ ",
            "inputs  e:15 nError ○  s:13 Select ○  p:12 PaperOut ○  a:10 nAck ○  b:11 Busy ● ",
            "(a key closes or opens the switch from its input pin to ground)",
            "Pins, last 10.0 s (now at the right); no room for nStrobe to D6",
            "D5 pin 7                                                   ▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁",
            "D4 pin 6                                                   ▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁",
            "D3 pin 5                                                   ▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁",
            "D2 pin 4                                                   ▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁▁",
            "D1 pin 3                                                   ▁▁▁▁▁▁▁▀▀▀▀▀▀▀▁▁▁▁▁▁▁",
            "D0 pin 2                                                   ▀▀▀▀▀▀▀▁▁▁▁▁▁▁▁▁▁▁▁▁▁",
            "at least 4 writes in the strip, 9 in all, last 1.0 s ago"}));
    auto full = lptmon::screen(snapshot, 24, 80, lptmon::ascii_glyphs);
    ASSERT_EQ(full.size(), 24u);
    EXPECT_EQ(full[10] + "|" + full[11].substr(0, 13),
              "Pins, last 10.0 s (now at the right)|nStrobe 1    ");

    // Fewer rows still: one line, as much of it as fits, the value last to go.
    snapshot.registers[watch::data] = 1;
    const struct {
        int cols;
        std::string line;
    } cases[] = {{64, "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001"},
                 {40, "( )( )( )( )( )( )( )(*) 0x01"},
                 {4, "0x01"}};
    for (const auto &c : cases) {
        EXPECT_EQ(lptmon::screen(snapshot, 6, c.cols, lptmon::ascii_glyphs),
                  std::vector<std::string>{c.line})
            << c.cols << " columns";
    }

    // A real port's writes, recorded by the port library, name its device;
    // its inputs are not known.
    snapshot.device = "/dev/parport0";
    auto lines = lptmon::screen(snapshot, 20, 60, lptmon::ascii_glyphs);
    EXPECT_EQ(lines[0], "Real port 0x3BC on /dev/parport0    q quits");
    EXPECT_EQ(lines[5], "status   0x3BD  not watched (inputs)");

    // A 5 ms pulse within a column of half a second gets its mark. After a
    // burst that kept only data writes, the control pins are known from the
    // oldest kept write on: they held what the register holds now.
    snapshot.device = "";
    snapshot.complete = false;
    snapshot.writes = {{1, 97 * second, watch::data, 1, 1},
                       {2, 98 * second + second / 5, watch::data, 3, 1},
                       {3, 98 * second + second / 5 + 5000000, watch::data, 1, 1}};
    strip = lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs);
    EXPECT_EQ(strip[0] + strip[3], " ####### _______");   // nStrobe, nSelectIn
    EXPECT_EQ(strip[10] + strip[11], " ___|___ #######"); // D1, D0

    // What is older than the strip sets only the levels it starts from:
    // another program's write 214 s ago (D6, D4, D3) and a pulse on D0 29 s
    // ago are no glitch at its left edge.
    snapshot.complete = true;
    snapshot.now_ns = 300 * second;
    snapshot.writes = {{1, 86 * second, watch::data, 0x58, 1},
                       {2, 271 * second, watch::data, 0x59, 1},
                       {3, 271 * second + 5000000, watch::data, 0x58, 1}};
    strip = lptmon::timing_strip(snapshot, 4 * second, 8, lptmon::ascii_glyphs);
    EXPECT_EQ(strip[5] + strip[7] + strip[8] + strip[11], "########################________");
    EXPECT_EQ(lptmon::screen(snapshot, 24, 80, lptmon::ascii_glyphs).back().substr(0, 34),
              "0 writes in the strip, 9 in all, l");
}

} // namespace
