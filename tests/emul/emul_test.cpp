// The parallel port device over the virtual port: ppdev's requests answered
// as the kernel answers them, the writes lptmon sees, the interrupts a
// watcher raises, and claims that take turns across processes.
#include "emul.h"
#include "support.h"
#include "watch.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <thread>
#include <vector>

using namespace support;

namespace {

const unsigned base = 0x378;
const char device_name[] = "/dev/parport0 (test)";
const unsigned long get_time_32 = _IOR(PP_IOCTL, 0x95, int32_t[2]);
const unsigned long set_time_32 = _IOW(PP_IOCTL, 0x96, int32_t[2]);
const unsigned long get_time_64 = _IOR(PP_IOCTL, 0x95, int64_t[2]);
const unsigned long set_time_64 = _IOW(PP_IOCTL, 0x96, int64_t[2]);

class Device : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1);
        char why[700] = "";
        device = emul::open_device(base, device_name, why, sizeof why);
        ASSERT_NE(device, nullptr) << why;
        // The writes are another running program's (as lptdev's clients'
        // are), whose device's inputs are still ours to set.
        emul::open(&first, device, getppid());
        ASSERT_EQ(watch::open(base, &port, why, sizeof why), watch::opened) << why;
    }
    void TearDown() override
    {
        emul::close(&first);
        watch::close(port);
        emul::close_device(device);
        unsetenv("LPT_VIRTUAL_DIR");
    }
    // Sets the input pin at DB-25 pin `pin` as lptmon --set does.
    void set_pin(int pin, bool high)
    {
        char why[300] = "";
        ASSERT_TRUE(watch::set_input(port, *watch::input_at(pin), high, why, sizeof why)) << why;
    }
    std::vector<watch::Write> writes_since(uint64_t after)
    {
        std::vector<watch::Write> out(64);
        uint64_t missed = 0;
        out.resize(watch::writes_after(port, after, out.data(), out.size(), &missed));
        return out;
    }
    long request(emul::Open *open, unsigned long number, std::vector<uint8_t> arg = {})
    {
        arg.resize(64);
        return emul::ioctl(open, number, arg.data());
    }

    TempDir dir;
    emul::Device *device = nullptr;
    emul::Open first;
    watch::Port *port = nullptr;
};

std::vector<uint8_t> bytes_of(int value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> times(int64_t seconds, int64_t micros, size_t each)
{
    std::vector<uint8_t> out(2 * each);
    for (size_t i = 0; i < each; ++i) {
        out[i] = static_cast<uint8_t>(seconds >> 8 * i);
        out[each + i] = static_cast<uint8_t>(micros >> 8 * i);
    }
    return out;
}

// One request on the open and what it gives back: the result, the bytes it
// writes to its argument, the control register after it (-1: not looked at).
struct Row {
    const char *what;
    unsigned long request;
    std::vector<uint8_t> in;
    long result;
    std::vector<uint8_t> out;
    int control;
};

TEST_F(Device, RequestsAnswerAsTheKernelsPpdev)
{
    const std::vector<Row> rows = {
        {"status before a claim", PPRSTATUS, {}, -EINVAL, {}, -1},
        {"data before a claim", PPWDATA, {0x55}, -EINVAL, {}, 0x0C},
        {"mode at open", PPGETMODE, {}, 0, bytes_of(IEEE1284_MODE_COMPAT), -1},
        {"phase at open: forward idle", PPGETPHASE, {}, 0, bytes_of(1), -1},
        {"the port's modes", PPGETMODES, {}, 0, bytes_of(0x43), -1},
        {"flags kept to the user's", PPSETFLAGS, bytes_of(-1), 0, {}, -1},
        {"flags read back", PPGETFLAGS, {}, 0, bytes_of(PP_FLAGMASK), -1},
        {"nibble mode", PPSETMODE, bytes_of(IEEE1284_MODE_NIBBLE), 0, {}, -1},
        {"its phase: reverse idle", PPGETPHASE, {}, 0, bytes_of(5), -1},
        {"a terminal's request", TCGETS, {}, -ENOTTY, {}, -1},
        {"claim, interrupts on", PPCLAIM, {}, 0, {}, 0x1C},
        {"claim twice", PPCLAIM, {}, -EINVAL, {}, -1},
        {"exclusive after registering", PPEXCL, {}, -EINVAL, {}, -1},
        {"status as the port holds it", PPRSTATUS, {}, 0, {0x7F}, -1},
        {"control lines only", PPRCONTROL, {}, 0, {0x0C}, -1},
        {"data", PPWDATA, {0x5A}, 0, {}, 0x1C},
        {"data read back", PPRDATA, {}, 0, {0x5A}, -1},
        {"data of the wrong size", _IOR(PP_IOCTL, 0x85, int), {}, -EINVAL, {}, -1},
        {"control keeps the enable bit", PPWCONTROL, {0x0B}, 0, {}, 0x1B},
        {"control's legacy direction bit", PPWCONTROL, {0x24}, 0, {}, 0x34},
        {"reversed data reads the outside", PPRDATA, {}, 0, {0xFF}, -1},
        {"data forward", PPDATADIR, bytes_of(0), 0, {}, 0x14},
        {"frob strobe and direction", PPFCONTROL, {0x21, 0x21}, 0, {}, 0x35},
        {"data reverse", PPDATADIR, bytes_of(1), 0, {}, 0x35},
        {"time at claim: 5 s", get_time_64, {}, 0, times(5, 0, 8), -1},
        {"time, 64-bit", set_time_64, times(1, 500000, 8), 0, {}, -1},
        {"time read, 32-bit", get_time_32, {}, 0, times(1, 500000, 4), -1},
        {"time, 32-bit", set_time_32, times(0, 2500000, 4), 0, {}, -1},
        {"time read, 64-bit", get_time_64, {}, 0, times(2, 500000, 8), -1},
        {"no time", set_time_32, times(0, 0, 4), -EINVAL, {}, -1},
        {"negative time", set_time_64, times(-1, 0, 8), -EINVAL, {}, -1},
        {"time of a third size", _IOW(PP_IOCTL, 0x96, int32_t[3]), {}, -EINVAL, {}, -1},
        {"negotiate compatibility", PPNEGOT, bytes_of(IEEE1284_MODE_COMPAT), 0, {}, -1},
        {"negotiate ECP: no peripheral", PPNEGOT, bytes_of(IEEE1284_MODE_ECP), -EIO, {}, -1},
        {"left compatible", PPGETMODE, {}, 0, bytes_of(IEEE1284_MODE_COMPAT), -1},
        {"no interrupt yet", PPCLRIRQ, {}, 0, bytes_of(0), -1},
        {"yield with nobody waiting", PPYIELD, {}, 0, {}, -1},
        {"a request ppdev lacks", _IO(PP_IOCTL, 0x70), {}, -EINVAL, {}, -1},
        {"release", PPRELEASE, {}, 0, {}, -1},
        {"release twice", PPRELEASE, {}, -EINVAL, {}, -1},
    };
    for (const Row &row : rows) {
        std::vector<uint8_t> arg = row.in;
        arg.resize(64, 0xEE);
        EXPECT_EQ(emul::ioctl(&first, row.request, arg.data()), row.result) << row.what;
        EXPECT_EQ(std::vector<uint8_t>(arg.begin(), arg.begin() + row.out.size()), row.out)
            << row.what;
        if (row.control >= 0) {
            EXPECT_EQ(watch::read(port, watch::control), row.control) << row.what;
        }
    }
}

TEST_F(Device, CompatibilityWritesWaitForThePrinterAndStrobeEachByte)
{
    ASSERT_EQ(request(&first, PPCLAIM), 0);
    EXPECT_EQ(emul::write(&first, "AB", 2, false), 0) << "out of paper: nothing sent";
    set_pin(12, false); // paper in; Busy still high
    EXPECT_EQ(emul::write(&first, "AB", 2, true), 0) << "busy, not blocking";
    const uint32_t seen = emul::changes(device);
    EXPECT_EQ(emul::write(&first, "AB", 2, false), emul::would_wait) << "busy, blocking";
    const uint64_t before = watch::write_count(port);
    set_pin(11, false); // Busy low: ready
    emul::wait_for_change(device, seen, 0);
    EXPECT_EQ(emul::write(&first, "AB", 2, false), 2);
    std::vector<std::pair<unsigned, int>> seen_writes;
    char name[64] = "";
    for (const watch::Write &w : writes_since(before + 1)) {
        seen_writes.push_back({w.reg, w.value});
        EXPECT_EQ(w.pid, uint32_t(getppid()));
        EXPECT_TRUE(watch::device_name(port, w.device, name, sizeof name));
        EXPECT_STREQ(name, device_name);
    }
    const std::vector<std::pair<unsigned, int>> strobed = {
        {watch::data, 'A'}, {watch::control, 0x1D}, {watch::control, 0x1C},
        {watch::data, 'B'}, {watch::control, 0x1D}, {watch::control, 0x1C}};
    EXPECT_EQ(seen_writes, strobed);
    char buffer[4];
    EXPECT_EQ(emul::read(&first, buffer, sizeof buffer, false), -EIO) << "no 1284 peripheral";
}

TEST_F(Device, RisingNackInterruptsTheHolderOnly)
{
    emul::Open second;
    emul::open(&second, device, 0);
    set_pin(10, false);
    set_pin(10, true); // before any claim: no one's interrupt
    ASSERT_EQ(request(&first, PPCLAIM), 0);
    EXPECT_EQ(emul::poll(&first), 0u);
    ASSERT_EQ(request(&first, PPWCTLONIRQ, {0x05}), 0);
    set_pin(10, false);
    EXPECT_EQ(emul::poll(&first), 0u) << "a falling edge";
    set_pin(10, true);
    EXPECT_EQ(emul::poll(&first), unsigned{POLLIN | POLLRDNORM});
    EXPECT_EQ(emul::poll(&second), 0u);
    EXPECT_EQ(watch::read(port, watch::control), 0x15) << "PPWCTLONIRQ's lines";
    std::vector<uint8_t> count(4);
    ASSERT_EQ(emul::ioctl(&first, PPCLRIRQ, count.data()), 0);
    EXPECT_EQ(count, bytes_of(1));
    ASSERT_EQ(emul::ioctl(&first, PPCLRIRQ, count.data()), 0);
    EXPECT_EQ(count, bytes_of(0));
    EXPECT_EQ(emul::poll(&first), 0u);
    emul::close(&second);
}

// As a front end waits: woken by the change, never by looking again.
TEST_F(Device, WaitersAreWokenByAClaimLetGoAndByAnInterrupt)
{
    emul::Open second;
    emul::open(&second, device, 0);
    ASSERT_EQ(request(&first, PPCLAIM), 0);
    std::atomic<int> step{0};
    std::atomic<bool> given_up{false};
    std::thread waiter([&] {
        const auto wait_for = [&](const std::function<bool()> &done) {
            for (uint32_t seen = emul::changes(device); !done() && !given_up;
                 seen = emul::changes(device)) {
                emul::wait_for_change(device, seen, 30000);
            }
            ++step;
        };
        wait_for([&] { return request(&second, PPCLAIM) == 0; });
        wait_for([&] { return emul::poll(&second) != 0; });
    });
    // Let go once the waiter waits: a yield with no one waiting keeps the port.
    EXPECT_TRUE(eventually([&] { return request(&first, PPYIELD) == emul::would_wait; }, 10000));
    EXPECT_TRUE(eventually([&] { return step == 1; }, 10000)) << "claim let go";
    set_pin(10, false);
    set_pin(10, true);
    EXPECT_TRUE(eventually([&] { return step == 2; }, 10000)) << "nAck";
    given_up = true; // a waiter never woken ends at its next timeout
    waiter.join();
    emul::close(&second);
}

TEST_F(Device, ClaimsTakeTurnsAcrossOpensAndProcesses)
{
    emul::Open second;
    emul::open(&second, device, 0);
    ASSERT_EQ(request(&first, PPCLAIM), 0);
    EXPECT_EQ(request(&second, PPCLAIM), emul::would_wait);
    // The holder yields to the waiter, which takes the port; the holder
    // then waits for it back.
    EXPECT_EQ(request(&first, PPYIELD), emul::would_wait);
    EXPECT_EQ(request(&second, PPCLAIM), 0);
    EXPECT_EQ(request(&first, PPYIELD), emul::would_wait);
    EXPECT_EQ(request(&first, PPRSTATUS), emul::would_wait) << "still yielding";
    EXPECT_EQ(request(&second, PPRELEASE), 0);
    EXPECT_EQ(request(&first, PPYIELD), 0);
    EXPECT_EQ(request(&first, PPRELEASE), 0);

    // A process that ends holding the port does not keep it.
    const pid_t child = fork();
    if (child == 0) {
        emul::Open held;
        emul::open(&held, device, 0);
        _exit(request(&held, PPCLAIM) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(request(&second, PPCLAIM), 0);

    // Alone on the port: not while another holds it, and no other open
    // registers while it is.
    emul::Open alone, third;
    emul::open(&alone, device, 0);
    emul::open(&third, device, 0);
    EXPECT_EQ(request(&alone, PPEXCL), 0);
    EXPECT_EQ(request(&alone, PPCLAIM), -ENXIO) << "the port is held";
    EXPECT_EQ(request(&second, PPRELEASE), 0);
    EXPECT_EQ(request(&alone, PPCLAIM), 0);
    EXPECT_EQ(request(&alone, PPEXCL), 0) << "already so";
    EXPECT_EQ(request(&alone, PPRELEASE), 0);
    EXPECT_EQ(request(&third, PPCLAIM), -ENXIO);
    emul::close(&alone);
    EXPECT_EQ(request(&third, PPCLAIM), 0);
    emul::close(&third);
    emul::close(&second);
}

} // namespace
