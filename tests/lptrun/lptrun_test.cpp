// lptrun as its users meet it: unchanged programs run under it, their port
// accesses checked on the virtual port through watch.h, and what it prints.
#include "lptrun_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace lptrun_test;

namespace {

std::string stated_for(const std::string &parport1)
{
    return "lptrun: parport0 at 0x378, parport1 at " + parport1 +
           ", parport2 at 0x3BC, virtual ports (watch: lptmon --port 0x378)\n";
}
const std::string stated = stated_for("0x078");

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
     stated + "inb 7F inw 7FFF inl FFBB7FFF imm 7F 0x80 FF insb 7F7F7F insl FFBB7FFF rep 111\n\n"
              "lptrun: 5 accesses to I/O ports of no parallel port (the first at 0x37B) dropped, "
              "reads gave 0xFF\n",
     0,
     // outb; outw and outl split into bytes (the status register keeps no
     // write, 0x37B is no register; control 0xBB turns the data lines round,
     // so that data reads as nothing drives them); rep outsb up, then down;
     // outsw.
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
    {"forms_32", "raw_io32", "forms", "", 0, {}}, // as forms_64: the test copies its own
    // Its own handler gets its own fault (a hlt), its own setting back, and a
    // fault with SIG_DFL ends it as it would without lptrun.
    {"own_handler",
     "raw_io",
     "handler",
     stated + "faults 1, handler kept\n",
     128 + SIGSEGV,
     {{0, 0x5A}, {0, 0xA5}}},
    // A 32-bit ppdev client: the claim turns the interrupt on (control
    // bit 4), as the kernel's.
    {"ppdev_32",
     "raw_io32",
     "ppdev",
     stated + "status 7f time 1.500000\n",
     0,
     {{2, 0x1C}, {0, 0x77}}},
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
    // 126, 127: the kernel runs no 32-bit programs (scripts/ia32.sh).
    if (support::run(folder.dir.path, folder.program(c.program)).status >= 126) {
        GTEST_SKIP() << "this kernel does not run " << c.program;
    }
    const Ran ran = run_lptrun(
        "exec lptrun --parport1=0x78 " + folder.program(c.program) + " " + c.mode, folder);
    EXPECT_EQ(ran.output, c.output);
    EXPECT_EQ(ran.status, c.status);
    const bool ppdev = std::string(c.mode) == "ppdev";
    EXPECT_EQ(port_writes(0x378, ran.pid, ppdev ? "/dev/parport0 (lptrun)" : "in/out (lptrun)"),
              c.writes);
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
    const Ran ran = run_lptrun("exec lptrun " + folder.program("raw_io") + " threads", folder);
    ASSERT_EQ(ran.output, stated_for("0x278") + "counted\n");
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
    Ran ran = run_lptrun("exec lptrun " + program + " forms", folder);
    EXPECT_EQ(ran.output, "lptrun: " + program +
                              " is statically linked, so no library can be loaded into it; build "
                              "it without -static\n");
    EXPECT_EQ(ran.status, 126);
    // Nothing the program starts gains privileges.
    ran = run_lptrun("exec lptrun /bin/grep NoNewPrivs /proc/self/status", folder);
    EXPECT_EQ(ran.output, stated_for("0x278") + "NoNewPrivs:\t1\n");
    if (!can_be_root()) {
        GTEST_SKIP() << "not started as root: running as root is not tried";
    }
    ran = run_lptrun("exec lptrun " + folder.program("raw_io") + " forms", folder, true);
    EXPECT_EQ(ran.output, "lptrun: will not run as root, where a port access it failed to catch "
                          "would reach the real port; run it as your own user\n");
    EXPECT_EQ(ran.status, 126);
    EXPECT_EQ(port_writes(0x378, ran.pid, ""), std::vector<Access>{});
}

// Unchanged programs of the system's, each through its own way to the port.
struct ProgramCase {
    const char *name;
    std::string command, output, device;
    std::vector<int> data; // the data register's values, in order, when given
    int clock_pulses;      // urjtag: TCK pulses with TMS high (reset), when given
};
NAMED_CASES(ProgramCase)

std::string jtag_reset(const std::string &cable)
{
    return "printf 'cable DLC5 " + cable + "\\nreset\\nquit\\n' >cmd; exec lptrun jtag cmd";
}

const ProgramCase program_cases[] = {
    // Python's parallel module: ppdev requests on /dev/parport0; then
    // /dev/port, at the address as its offset, through a duplicate.
    {"python_parallel",
     "exec lptrun /usr/bin/python3 -c \"import parallel, os\n"
     "p = parallel.Parallel(); p.setData(0x55); p.setData(0xAA)\n"
     "print(p.getInBusy(), p.getInAcknowledge(), p.getInPaperOut(), p.getInSelected())\n"
     "f = os.dup(os.open('/dev/port', os.O_RDWR)); os.pwrite(f, bytes([0x3C]), 0x278)\n"
     "os.lseek(f, 0x379, 0); print(os.read(f, 2).hex(), os.pread(f, 1, 0x278).hex(),\n"
     "os.pread(f, 1, 0xFFFF).hex(), os.pread(f, 1, 0x10000))\n"
     "print(os.listdir('/proc/sys/dev/parport'), os.access('/dev/parport2', os.W_OK))\"",
     "True True True True\n7f1c 3c ff b''\n['parport0', 'parport1', 'parport2'] True\n\nlptrun: 1 "
     "access to I/O ports of no parallel port "
     "(the first at 0xFFFF) dropped, reads gave 0xFF\n",
     "/dev/parport0 (lptrun)",
     {0x00, 0x55, 0xAA},
     0},
    // A libieee1284 client: the ports found in /proc/sys/dev/parport.
    {"libieee1284",
     "exec lptrun ieee1284_client",
     "parport0 0x378\nparport1 0x278\nparport2 0x3bc\ndata c3 status ff\n",
     "/dev/parport0 (lptrun)",
     {0xC3},
     0},
    {"urjtag_ppdev",
     jtag_reset("ppdev /dev/parport0"),
     "Initializing ppdev port /dev/parport0\n",
     "/dev/parport0 (lptrun)",
     {},
     5},
    {"urjtag_parallel",
     jtag_reset("parallel 0x378"),
     "Initializing parallel port at 0x378\n",
     "in/out (lptrun)",
     {},
     5},
};

class UnchangedProgram : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(UnchangedProgram, WritesThePortAsItsOwnProcess)
{
    const ProgramCase &c = GetParam();
    Folder folder;
    if (std::string(c.name) == "libieee1284" &&
        access(folder.program("ieee1284_client").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "no libieee1284 to build its client (apt-get install libieee1284-3-dev)";
    }
    const Ran ran = run_lptrun(c.command, folder);
    EXPECT_EQ(ran.output, stated_for("0x278") + c.output);
    EXPECT_EQ(ran.status, 0);
    std::vector<int> data;
    int pulses = 0, last = -1;
    for (const Access &write : port_writes(0x378, ran.pid, c.device)) {
        if (write.reg == 0) {
            data.push_back(write.value);
            // DLC5: TMS on D2, TCK on D1.
            pulses += (write.value & 0x06) == 0x06 && last >= 0 && (last & 0x02) == 0;
            last = write.value;
        }
    }
    if (!c.data.empty()) {
        EXPECT_EQ(data, c.data);
    }
    EXPECT_GE(pulses, c.clock_pulses);
}

INSTANTIATE_TEST_SUITE_P(Debian, UnchangedProgram, ::testing::ValuesIn(program_cases),
                         ::testing::PrintToStringParamName());

// lptmon names the program and its way to the port, and sets the inputs
// that the running program reads, as the port is virtual; a rising edge
// on nAck wakes the program's select (and poll, which it is made of).
TEST(LptRun, LptmonShowsTheProgramAndSetsItsInputs)
{
    Folder folder;
    support::Pty program(
        folder.dir.path,
        {folder.program("lptrun"), "/usr/bin/python3", "-c",
         "import parallel, select, time\n"
         "p = parallel.Parallel(); p.setData(0x5A); s = p.PPRSTATUS()\n"
         "print('claimed %02x' % s, flush=True); end = time.time() + 20\n"
         "while p.PPRSTATUS() == s and time.time() < end: time.sleep(0.01)\n"
         "print('status %02x' % p.PPRSTATUS(), flush=True)\n"
         "print('woken', len(select.select([p._fd], [], [], 20)[0]), 'irqs', p.PPCLRIRQ())"});
    const auto set = [&](const std::string &pin) {
        EXPECT_EQ(
            support::run(folder.dir.path, folder.program("lptmon") + " --port 0x378 --set " + pin)
                .status,
            0);
    };
    ASSERT_TRUE(program.wait_for("claimed 7f", 20000)) << program.output();
    set("11=low");
    ASSERT_TRUE(program.wait_for("status ff", 20000)) << program.output();
    set("10=low");
    set("10=high");
    ASSERT_TRUE(program.wait_exit(20000));
    EXPECT_NE(program.output().find("claimed 7f\r\nstatus ff\r\nwoken 1 irqs 1\r\n"),
              std::string::npos)
        << program.output();
    support::Pty log(folder.dir.path, {folder.program("lptmon"), "--port", "0x378", "--log"});
    EXPECT_TRUE(log.wait_for("data    0x5A 01011010  pid " + std::to_string(program.pid()) +
                                 "  via /dev/parport0 (lptrun)\r\n",
                             20000))
        << log.output();
}

} // namespace
