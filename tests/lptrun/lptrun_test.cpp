// lptrun as its users meet it: unchanged programs run under it, their port
// accesses checked on the virtual port through watch.h, and what it prints.
#include "lptrun_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace lptrun_test;

namespace {

const std::string stated = "lptrun: parport0 at 0x378, parport1 at 0x078, parport2 at 0x3BC, "
                           "virtual ports (watch: lptmon --port 0x378)\n";

struct RawCase {
    const char *name, *program, *mode;
    std::string output;
    int status;
    std::vector<Access> writes; // at 0x378, each by the program, via in/out
};
NAMED_CASES(RawCase)

const RawCase raw_cases[] = {
    {"forms_64",
     "raw_io",
     "forms",
     stated + "inb 7F inw 7F66 inl FFBB7F66 imm 7F 0x80 FF insb 7F7F7F insl FFBB7F66 rep 111\n\n"
              "lptrun: 5 accesses to I/O ports of no parallel port (the first at 0x37B) dropped, "
              "reads gave 0xFF\n",
     0,
     // outb; outw and outl split into bytes (the status register keeps no
     // write, 0x37B is no register); rep outsb up, then down; outsw.
     {{0, 0x11},
      {0, 0x33},
      {0, 0x44},
      {2, 0xBB},
      {0, 0x01},
      {0, 0x02},
      {0, 0x04},
      {0, 0x08},
      {0, 0x20},
      {0, 0x10},
      {0, 0x66}}},
    {"forms_32", "raw_io32", "forms", "", 0, {}}, // as forms_64, filled below
    // Its own handler gets its own fault (a hlt), its own setting back, and a
    // fault with SIG_DFL ends it as it would without lptrun.
    {"own_handler",
     "raw_io",
     "handler",
     stated + "faults 1, handler kept\n",
     128 + SIGSEGV,
     {{0, 0x5A}, {0, 0xA5}}},
    {"blocks_segv",
     "raw_io32",
     "block",
     stated +
         "\nlptrun: the program blocks SIGSEGV, through which its in/out instructions reach the "
         "virtual port; lptrun keeps SIGSEGV unblocked\nwrote\n",
     0,
     {{0, 0x42}}},
};

class RawIo : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawIo, CarriesOutEachInstructionOnTheVirtualPort)
{
    RawCase c = GetParam();
    if (c.output.empty()) {
        c.output = raw_cases[0].output, c.writes = raw_cases[0].writes;
    }
    Folder folder;
    if (access(folder.program(c.program).c_str(), X_OK) != 0) {
        GTEST_SKIP() << c.program
                     << " not built (no 32-bit C library: apt-get install g++-multilib)";
    }
    const Ran ran = run_lptrun("--parport1=0x78 " + folder.program(c.program) + " " + c.mode);
    EXPECT_EQ(ran.output, c.output);
    EXPECT_EQ(ran.status, c.status);
    EXPECT_EQ(port_writes(0x378, ran.pid, "in/out (lptrun)"), c.writes);
    if (std::string(c.mode) == "forms") {
        EXPECT_EQ(port_writes(0x78, ran.pid, "in/out (lptrun)"), (std::vector<Access>{{0, 0x22}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, RawIo, ::testing::ValuesIn(raw_cases),
                         ::testing::PrintToStringParamName());

// Each thread's writes arrive, in its order.
TEST(LptRun, TwoThreadsWriteTheirRegistersInTurn)
{
    Folder folder;
    const Ran ran = run_lptrun(folder.program("raw_io") + " threads");
    ASSERT_EQ(ran.output, "lptrun: parport0 at 0x378, parport1 at 0x278, parport2 at 0x3BC, "
                          "virtual ports (watch: lptmon --port 0x378)\ncounted\n");
    std::vector<int> seen[3];
    for (const Access &write : port_writes(0x378, ran.pid, "in/out (lptrun)")) {
        seen[write.reg].push_back(write.value);
    }
    for (unsigned reg : {0u, 2u}) {
        ASSERT_EQ(seen[reg].size(), 1000u) << reg;
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(seen[reg][i], i & 0xFF) << reg;
        }
    }
}

// What it cannot run it says in one line, and runs nothing.
TEST(LptRun, RefusesWhatItCannotKeepOffTheRealPort)
{
    Folder folder;
    const std::string program = folder.program("raw_io_static");
    Ran ran = run_lptrun(program + " forms");
    EXPECT_EQ(ran.output, "lptrun: " + program +
                              " is statically linked, so no library can be loaded into it; build "
                              "it without -static\n");
    EXPECT_EQ(ran.status, 126);
    if (!can_be_root()) {
        GTEST_SKIP() << "not started as root: running as root is not tried";
    }
    ran = run_lptrun(folder.program("raw_io") + " forms", true);
    EXPECT_EQ(ran.output, "lptrun: will not run as root, where a port access it failed to catch "
                          "would reach the real port; run it as your own user\n");
    EXPECT_EQ(ran.status, 126);
    EXPECT_EQ(port_writes(0x378, ran.pid, ""), std::vector<Access>{});
}

} // namespace
