// Real parallel ports: finding the port by its base address, its registers
// reached through the ppdev calls, and the choice between the real and the
// virtual port, told in one line when the real one cannot be used. The ppdev
// calls are faked: no test needs a parallel port.
#include "ports.h"
#include "ppdev.h"
#include "support.h"
#include "vport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace support;

namespace {

struct FakeDevice {
    std::vector<std::string> calls;
    std::string opened;
    int open_error = 0;
    int claim_error = 0;
    unsigned char status = 0x78;
    unsigned char control = 0x04;
};
FakeDevice device;

int fake_open(const char *path, int)
{
    device.opened = path;
    if (device.open_error != 0) {
        errno = device.open_error;
        return -1;
    }
    return 42;
}

int fake_ioctl(int, unsigned long request, void *argument)
{
    unsigned char *byte = static_cast<unsigned char *>(argument);
    switch (request) {
    case PPCLAIM:
        device.calls.push_back("claim");
        errno = device.claim_error;
        return device.claim_error != 0 ? -1 : 0;
    case PPDATADIR:
        device.calls.push_back("datadir " + std::to_string(*static_cast<int *>(argument)));
        return 0;
    case PPRDATA:
        *byte = 0;
        return 0;
    case PPWDATA:
        device.calls.push_back("data " + std::to_string(*byte));
        return 0;
    case PPRSTATUS:
        *byte = device.status;
        return 0;
    case PPRCONTROL:
        *byte = device.control;
        return 0;
    case PPWCONTROL:
        device.control = *byte;
        device.calls.push_back("control " + std::to_string(*byte));
        return 0;
    case PPRELEASE:
        device.calls.push_back("release");
        return 0;
    }
    device.calls.push_back("unexpected");
    return -1;
}

int fake_close(int)
{
    device.calls.push_back("close");
    return 0;
}

const ppdev_ops fake_ops = {fake_open, fake_ioctl, fake_close};

class RealPort : public ::testing::Test {
  protected:
    void SetUp() override
    {
        device = FakeDevice();
        ppdev_use_ops(&fake_ops);
        // Two ports: 0x378 as parport0, 0x3BC as parport1.
        add_port(0, "888\t1912\n");
        add_port(1, "956\t0\n");
        setenv("LPT_PPDEV_ROOT", root.path.c_str(), 1);
        setenv("LPT_VIRTUAL_DIR", (root / "virtual").c_str(), 1);
        unsetenv("LPT_BACKEND");
    }
    void TearDown() override
    {
        lpt_close_ports();
        ppdev_use_ops(nullptr);
        unsetenv("LPT_PPDEV_ROOT");
        unsetenv("LPT_VIRTUAL_DIR");
        unsetenv("LPT_BACKEND");
    }
    void add_port(int number, const std::string &base_addr)
    {
        std::string dir = root / ("proc/sys/dev/parport/parport" + std::to_string(number));
        ASSERT_EQ(system(("mkdir -p " + dir + " " + (root / "dev")).c_str()), 0);
        write_file(dir + "/base-addr", base_addr);
    }
    // Writes through the library's port table; returns what it said.
    std::string write_port(uint16_t address, uint8_t value)
    {
        testing::internal::CaptureStderr();
        lpt_write(address, value);
        return testing::internal::GetCapturedStderr();
    }
    bool virtual_port_written()
    {
        struct stat st;
        return stat((root / "virtual/lpt-3bc.state").c_str(), &st) == 0;
    }
    TempDir root;
};

TEST_F(RealPort, FoundByBaseAddressAndDrivenThroughItsRegisters)
{
    EXPECT_EQ(write_port(0x3BC, 1), "");
    EXPECT_EQ(device.opened, root / "dev/parport1");
    lpt_write(0x3BC, 2);
    lpt_write(0x3BE, 0x0C);           // control
    lpt_write(0x3BD, 0xFF);           // status is read-only: no call
    EXPECT_EQ(lpt_read(0x3BC), 2);    // data reads back what was written
    EXPECT_EQ(lpt_read(0x3BD), 0x78); // status from the port
    EXPECT_EQ(lpt_read(0x3BE), 0x0C);
    lpt_close_ports();
    EXPECT_EQ(device.calls, (std::vector<std::string>{"claim", "datadir 0", "data 1", "data 2",
                                                      "control 12", "release", "close"}));
    EXPECT_FALSE(virtual_port_written());
}

TEST_F(RealPort, UnusablePortIsToldOnceWithTheFixThenTheVirtualPortIsUsed)
{
    device.open_error = EACCES;
    std::string told = write_port(0x3BC, 1);
    told += write_port(0x3BC, 2);
    EXPECT_EQ(count(told, "inpout32: "), 1u) << told;
    EXPECT_NE(told.find(root / "dev/parport1"), std::string::npos) << told;
    EXPECT_NE(told.find("Permission denied"), std::string::npos) << told;
    EXPECT_NE(told.find("usermod -aG"), std::string::npos) << told;
    EXPECT_NE(told.find("using the virtual port instead"), std::string::npos) << told;
    EXPECT_TRUE(virtual_port_written());
    EXPECT_EQ(lpt_read(0x3BC), 2);
}

TEST_F(RealPort, BusyOrMissingDriverNamesItsFix)
{
    device.claim_error = EBUSY;
    EXPECT_NE(write_port(0x3BC, 1).find("another program holds the port"), std::string::npos);
    EXPECT_EQ(device.calls.back(), "close");
    lpt_close_ports();

    device = FakeDevice();
    device.open_error = ENODEV;
    EXPECT_NE(write_port(0x3BC, 1).find("modprobe ppdev"), std::string::npos);
}

TEST_F(RealPort, ChoiceFollowsLptBackend)
{
    // No real port at 0x278, but others: said, and the virtual port is used.
    std::string told = write_port(0x278, 1);
    EXPECT_NE(told.find("no parallel port at 0x278; this machine has 0x378 (parport0), "
                        "0x3BC (parport1)"),
              std::string::npos)
        << told;
    EXPECT_NE(told.find("using the virtual port instead"), std::string::npos) << told;
    EXPECT_TRUE(device.opened.empty());
    lpt_close_ports();

    // Forced virtual port, even where a real one is.
    setenv("LPT_BACKEND", "virtual", 1);
    EXPECT_EQ(write_port(0x3BC, 1), "");
    EXPECT_TRUE(device.opened.empty());
    EXPECT_TRUE(virtual_port_written());
    lpt_close_ports();

    // No parallel port at all: the virtual one, silently.
    ASSERT_EQ(system(("rm -r " + (root / "proc")).c_str()), 0);
    EXPECT_EQ(write_port(0x278, 1), "");
    lpt_close_ports();

    // Forced real port that is not there: said, and never the virtual port.
    setenv("LPT_BACKEND", "ppdev", 1);
    unlink((root / "virtual/lpt-278.state").c_str());
    told = write_port(0x278, 1);
    EXPECT_NE(told.find("no parallel port at 0x278"), std::string::npos) << told;
    EXPECT_NE(told.find("kept in this program only"), std::string::npos) << told;
    struct stat st;
    EXPECT_NE(stat((root / "virtual/lpt-278.state").c_str(), &st), 0);
}

} // namespace
