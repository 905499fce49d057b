// Real parallel ports: finding the port by its base address, its registers
// reached through the ppdev calls, and the choice between the real and the
// virtual port, told in one line when the real one cannot be used. The ppdev
// calls are faked: no test needs a parallel port.
#include "ports.h"
#include "ppdev_parts.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

using namespace support;

namespace {

struct FakeDevice {
    std::vector<std::string> calls;
    std::string opened;
    int open_error = 0, claim_error = 0, write_error = 0;
    unsigned char control = 0x04;
} device;

int fake_ioctl(int, unsigned long request, void *argument)
{
    unsigned char *byte = static_cast<unsigned char *>(argument);
    const char *name = request == PPCLAIM      ? "claim"
                       : request == PPRELEASE  ? "release"
                       : request == PPDATADIR  ? "datadir"
                       : request == PPWDATA    ? "data"
                       : request == PPWCONTROL ? "control"
                                               : nullptr;
    if (name) {
        device.calls.push_back(name + (byte ? " " + std::to_string(*byte) : ""));
    }
    if (request == PPWCONTROL) {
        device.control = *byte;
    } else if (request == PPRCONTROL || request == PPRSTATUS || request == PPRDATA) {
        *byte = request == PPRCONTROL ? device.control : request == PPRSTATUS ? 0x78 : 0;
    }
    errno = request == PPCLAIM                            ? device.claim_error
            : request == PPWDATA || request == PPWCONTROL ? device.write_error
                                                          : 0;
    return errno != 0 ? -1 : 0;
}

// The folder standing for / in the fixture's paths.
char fake_root[512] = "";

} // namespace

// The library's calls on a port, this test's instead of the system's.
extern const ppdev::Ops ppdev::calls = {
    [](const char *path, int) {
        device.opened = path;
        errno = device.open_error;
        return device.open_error != 0 ? -1 : 42;
    },
    fake_ioctl, [](int) { return device.calls.push_back("close"), 0; }, fake_root};

namespace {

// What lptmon --once says of a port, from the data value to the end of its
// first line: with the real port that wrote it, if one did.
std::string shown(unsigned address = 0x3BC)
{
    std::string once = run("/", LPTMON_PATH " --once --port " + std::to_string(address)).output;
    once = once.substr(0, once.find('\n') + 1);
    return once.substr(std::min(once.size(), once.find("data ")));
}

class RealPort : public ::testing::Test {
  protected:
    void SetUp() override
    {
        device = FakeDevice();
        snprintf(fake_root, sizeof fake_root, "%s", root.path.c_str());
        // Two ports: 0x378 as parport0, 0x3BC as parport1.
        run(root.path, "mkdir -p dev proc/sys/dev/parport/parport0 proc/sys/dev/parport/parport1"
                       " && printf '888\\t1912\\n' > proc/sys/dev/parport/parport0/base-addr"
                       " && printf '956\\t0\\n' > proc/sys/dev/parport/parport1/base-addr");
        setenv("LPT_VIRTUAL_DIR", (root / "virtual").c_str(), 1);
    }
    void TearDown() override
    {
        ports::unload();
        unsetenv("LPT_VIRTUAL_DIR");
    }
    TempDir root;
};

TEST_F(RealPort, FoundByBaseAddressAndDrivenThroughItsRegisters)
{
    ports::write_port(0x3BC, 1);
    EXPECT_EQ(device.opened, root / "dev/parport1");
    ports::write_port(0x3BC, 2);
    ports::write_port(0x3BE, 0x0C);           // control
    ports::write_port(0x3BD, 0xFF);           // status is read-only: no call
    EXPECT_EQ(ports::read_port(0x3BC), 2);    // data reads back what was written
    EXPECT_EQ(ports::read_port(0x3BD), 0x78); // status from the port
    EXPECT_EQ(ports::read_port(0x3BE), 0x0C);
    // Wires while this program has the port open.
    EXPECT_EQ(run("/", LPTMON_PATH " --set 15=low").output,
              "lptmon: port 0x3BC is the real port /dev/parport1: its inputs are wires, not ours "
              "to set\n");
    ports::unload();
    EXPECT_EQ(device.calls, (std::vector<std::string>{"claim", "datadir 0", "data 1", "data 2",
                                                      "control 12", "release", "close"}));
    EXPECT_EQ(run("/", LPTMON_PATH " --once").output,
              "port 0x3BC  D7-D0 ( )( )( )( )( )( )(*)( )  data 0x02 00000010  real port "
              "/dev/parport1\nstatus   0x3BD  not watched (inputs)\ncontrol  0x3BE  0x0C  "
              "00001100  outputs 1 nStrobe high, 14 nAutoFd high, 16 nInit high, 17 nSelectIn "
              "low\n");
    // A program on the virtual port too: each write with its own device in
    // the log, and the real port named in a trace's header.
    EXPECT_EQ(run(root.path, "LPT_BACKEND=virtual " PROBE_PATH " 3bc=5 >/dev/null; " LPTMON_PATH
                             " --log > log & l=$!; " LPTMON_PATH " --vcd > vcd & v=$!; until grep "
                             "-qs 00000101 log && grep -qs enddef vcd; do sleep 0.1; done; kill $l "
                             "$v; sed 's/^[0-9. +]*//; s/  pid [0-9]*//' log; grep real vcd")
                  .output,
              "data    0x01 00000001  real port /dev/parport1\n"
              "data    0x02 00000010  real port /dev/parport1\n"
              "control 0x0C 00001100  real port /dev/parport1\n"
              "data    0x05 00000101\n"
              "$comment lptmon: writes went to the real port /dev/parport1 $end\n");
}

// A trace started before the port's first write names the real port in its
// header; one started on the virtual port's writes says so on standard
// error when the real port's come (viewers stop at a comment among the
// changes).
TEST_F(RealPort, TraceNamesTheRealPortOnceItsWritesCome)
{
    run(root.path, "LPT_BACKEND=virtual " PROBE_PATH " 378=5");
    const std::vector<std::string> env = {"LPT_VIRTUAL_DIR=" + (root / "virtual")};
    Pty waited(root.path, {LPTMON_PATH, "--vcd", "waited.vcd"}, env);
    Pty later(root.path, {LPTMON_PATH, "--vcd", "later.vcd", "--port", "0x378"}, env);
    ASSERT_TRUE(waited.wait_for("no state yet", 5000)) << waited.output();
    ASSERT_TRUE(eventually([&] { return count(read_file(root / "later.vcd"), "#0") > 0; }, 5000));
    ports::write_port(0x3BC, 1);
    ports::write_port(0x378, 1);
    ASSERT_TRUE(later.wait_for(" s in the trace", 5000)) << later.output();
    for (Pty *trace : {&waited, &later}) {
        kill(trace->pid(), SIGTERM);
        ASSERT_TRUE(trace->wait_exit(5000)) << trace->output();
    }
    EXPECT_EQ(run(root.path, "grep -h real waited.vcd later.vcd").output,
              "$comment lptmon: writes went to the real port /dev/parport1 $end\n");
    EXPECT_NE(later.output().find("lptmon: writes went to the real port /dev/parport0 from "),
              std::string::npos)
        << later.output();
}

// The virtual port's folder refused: the real port is driven all the same,
// and the one line says its writes go unseen. A failed write is told once,
// naming the device and the call.
TEST_F(RealPort, WorksWhenItsWritesCannotBeRecordedAndTellsAFailedWriteOnce)
{
    run(root.path, "mkdir -m 777 virtual");
    testing::internal::CaptureStderr();
    ports::write_port(0x3BC, 1);
    ports::write_port(0x3BC, 2);
    EXPECT_EQ(ports::read_port(0x3BC), 2);
    device.write_error = EIO;
    ports::write_port(0x3BC, 3);
    ports::write_port(0x3BE, 0x0C);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\ninpout32: ppdev port 0x3BC works, but lptmon cannot show its writes: " +
                  (root / "virtual") + " is writable by others; run: chmod 700 " +
                  (root / "virtual") + "\n\ninpout32: " + (root / "dev/parport1") +
                  ": ioctl(PPWDATA) failed: Input/output error; that value is lost, and later "
                  "failed writes to this port are not told again\n");
    ports::unload();
    EXPECT_EQ(device.calls, (std::vector<std::string>{"claim", "datadir 0", "data 1", "data 2",
                                                      "data 3", "control 12", "release", "close"}));
}

struct Case {
    const char *name;
    const char *setting; // NAME=value in the environment, or ""
    uint16_t address;
    int open_error, claim_error;
    std::string told;       // in the one line said, or "" for silence
    std::string shown;      // by lptmon --once from the data value on, or "" for nothing
    const char *setup = ""; // a command on the ports' folder $p
};
NAMED_CASES(Case)

class Choice : public RealPort, public ::testing::WithParamInterface<Case> {};

TEST_P(Choice, RealPortWhenUsableElseTheVirtualOneToldInOneLine)
{
    const Case &c = GetParam();
    run(root.path, std::string("p=proc/sys/dev/parport; ") + c.setup);
    const std::string setting = c.setting, name = setting.substr(0, setting.find('='));
    if (!setting.empty()) {
        setenv(name.c_str(), setting.substr(name.size() + 1).c_str(), 1);
    }
    device.open_error = c.open_error;
    device.claim_error = c.claim_error;
    testing::internal::CaptureStderr();
    ports::write_port(c.address, 1);
    ports::write_port(c.address, 2);
    std::string told = testing::internal::GetCapturedStderr();
    unsetenv(name.c_str());
    std::string expected = c.told;
    if (expected.find("$ROOT") != std::string::npos) {
        expected.replace(expected.find("$ROOT"), 5, root.path);
    }
    EXPECT_EQ(count(told, "inpout32: "), c.told.empty() ? 0u : 1u) << told;
    EXPECT_TRUE(told.empty() || (told.rfind("\ninpout32: ", 0) == 0 && told.back() == '\n'));
    EXPECT_NE(told.find(expected), std::string::npos) << told;
    EXPECT_EQ(ports::read_port(c.address), 2);
    EXPECT_EQ(shown(c.address), c.shown);
}

const std::string usermod = "/dev/parport1: open failed: Permission denied; to use it, add "
                            "yourself to group lp (sudo usermod -aG lp $USER) and log in again; "
                            "using the virtual port instead";
const std::string real = "data 0x02 00000010  real port /dev/parport",
                  virt = "data 0x02 00000010\n";
// LPT_PORT_0x3BC sends the program's writes to a port the machine has,
// here 0x378 (parport0) and one on a card at 0xD010 (parport1), none at 0x3BC.
const char *card = "echo 53264 > $p/parport1/base-addr";
std::string said(const std::string &why)
{
    return "\ninpout32: ppdev port: " + why + "; using the virtual port instead\n";
}
const std::string no_driver =
    ", as no parallel port driver is loaded (no $ROOT/proc/sys/dev/parport); run sudo modprobe "
    "parport_pc ppdev, then ls /dev/parport* lists the ports";
const std::string no_port =
    " names no port: write LPT_PORT_0x3BC=parportN, with a parportN from ls /dev/parport*";
INSTANTIATE_TEST_SUITE_P(
    RealPort, Choice,
    ::testing::Values(
        Case{"NoAccess", "", 0x3BC, EACCES, 0, usermod, virt},
        Case{"NoDriver", "", 0x3BC, ENODEV, 0, "sudo modprobe ppdev; using the virtual", virt},
        Case{"Busy", "", 0x3BC, 0, EBUSY, "another program holds the port", virt},
        // Held by another program: its claim would wait without end.
        Case{"Held", "", 0x3BC, 0, 0,
             "/dev/parport1: the port is in use by ppdev0; end the program that holds it", virt,
             "mkdir $p/parport1/devices && echo ppdev0 > $p/parport1/devices/active"},
        Case{"NoPortsAtAll", "", 0x278, 0, 0, "", virt, "rm -r proc"},
        Case{"ForcedVirtual", "LPT_BACKEND=virtual", 0x3BC, 0, 0, "", virt},
        Case{"UnknownBackend", "LPT_BACKEND=parallel", 0x3BC, 0, 0,
             "inpout32: LPT_BACKEND=parallel is not known (use ppdev or virtual); choosing by "
             "itself\n",
             real + "1\n"},
        Case{"ForcedRealMissing", "LPT_BACKEND=ppdev", 0x278, 0, 0,
             "port 0x278: values are kept in this program only", ""},
        // A card before its driver is loaded: no ports folder at all.
        Case{"ForcedRealNoDriver", "LPT_BACKEND=ppdev", 0x3BC, 0, 0,
             "\ninpout32: ppdev port: no parallel port at 0x3BC here" + no_driver +
                 "; port 0x3BC: values are kept in this program only\n",
             "", "rm -r proc"},
        Case{"SettingWithoutDriver", "LPT_PORT_0x3BC=parport0", 0x3BC, 0, 0,
             said("LPT_PORT_0x3BC=parport0: this machine has no parport0" + no_driver), virt,
             "rm -r proc"},
        // What no kernel writes, passed over: nothing that blocks is opened,
        // nothing negative is an address, no address is cut short.
        Case{"DamagedProcEntries", "", 0x278, 0, 0,
             "no parallel port at 0x278; this machine has 0x100000278 (parport4); to", virt,
             "rm -r $p/* && mkdir $p/parport2 $p/parport3 $p/parport4 && mkfifo "
             "$p/parport2/base-addr && echo -1 > $p/parport3/base-addr && echo 4294967928 > "
             "$p/parport4/base-addr"},
        Case{"SettingNamesAPort", "LPT_PORT_0x3BC=parport1", 0x3BC, 0, 0, "", real + "1\n", card},
        Case{"SettingNamesADevice", "LPT_PORT_0x3bc=/dev/parport0", 0x3BC, 0, 0, "", real + "0\n",
             card},
        Case{"SettingForAnotherAddress", "LPT_PORT_0x278=parport0", 0x3BC, 0, 0,
             said("no parallel port at 0x3BC; this machine has 0x378 (parport0), 0xD010 "
                  "(parport1); to use parport0, run export LPT_PORT_0x3BC=parport0 and start the "
                  "program again"),
             virt, card},
        // Named by the port's own address, when the program writes 0x3BC.
        Case{"SettingNamedByThePortsAddress", "LPT_PORT_0x378=parport0", 0x3BC, 0, 0,
             said("no parallel port at 0x3BC; this machine has 0x378 (parport0), 0xD010 "
                  "(parport1); to use parport0, run export LPT_PORT_0x3BC=parport0 and start the "
                  "program again; LPT_PORT_0x378 is for a program that writes 0x378: a setting "
                  "is named by the address the program writes, not by the port's"),
             virt, card},
        Case{"SettingNamesAMissingPort", "LPT_PORT_0x3BC=parport7", 0x3BC, 0, 0,
             said("LPT_PORT_0x3BC=parport7: this machine has no parport7 (it has 0x378 "
                  "(parport0), 0xD010 (parport1))"),
             virt, card},
        // Not a parportN: the value's own words.
        Case{"SettingAnAddress", "LPT_PORT_0x3BC=0x378", 0x3BC, 0, 0,
             said("LPT_PORT_0x3BC=0x378" + no_port), virt, card},
        Case{"SettingTooLarge", "LPT_PORT_0x3BC=parport4294967296", 0x3BC, 0, 0,
             said("LPT_PORT_0x3BC=parport4294967296" + no_port), virt, card}),
    ::testing::PrintToStringParamName());

} // namespace
