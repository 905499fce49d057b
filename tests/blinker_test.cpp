// The whole program on a terminal, as a person runs it: the port values and
// their timing, the console bytes, keys, Ctrl+C and SIGTERM, and the terminal
// left as it was found.
#include "support.h"
#include "vport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace support;

namespace {

const std::string instructions = "Dve LED diodi na V/I vmesniku utripata. \r\n"
                                 "Pritisni poljubno tipko na PC-ju za prekinitev programa.";

// Runs the program, then reports how it ended, whether the terminal mode is
// the one found before it, and the first key still waiting in the input.
const std::string wrapper = "trap : INT QUIT\n"
                            "stty -g > before\n"
                            "./LED_blink; s=$?\n"
                            "stty -g > after\n"
                            "cmp -s before after && m=same || m=changed\n"
                            "stty -icanon min 0 time 3\n"
                            "k=$(dd bs=1 count=1 2>/dev/null)\n"
                            "printf '\\n[exit=%s mode=%s key=%s]\\n' \"$s\" \"$m\" \"$k\"\n";

class Blinker : public ::testing::Test {
  protected:
    void SetUp() override
    {
        copy_file(LED_BLINK_PATH, dir / "LED_blink");
        copy_file(FAKE_DIR "/fake_both.so", dir / "inpout32.dll");
        pty = std::make_unique<Pty>(dir.path, wrapper,
                                    std::vector<std::string>{"FAKE_LPT_LOG=" + log()});
        ASSERT_TRUE(pty->wait_for(instructions, 5000)) << pty->output();
    }

    std::string log() const { return dir / "calls.log"; }

    // Waits until the port has been written `n` times.
    std::vector<Call> writes_after(size_t n, int timeout_ms)
    {
        std::vector<Call> writes;
        for (int waited = 0; waited < timeout_ms; waited += 20) {
            writes = port_writes(log());
            if (writes.size() >= n) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return writes;
    }

    pid_t program_pid() { return read_calls(log()).at(0).value; }

    // Every write goes to 0x3BC, and each pattern stands for about a second.
    static void expect_steady(const std::vector<Call> &writes)
    {
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].port, 0x3BC);
            if (i > 0) {
                double phase = writes[i].seconds - writes[i - 1].seconds;
                EXPECT_GE(phase, 0.95) << "phase " << i;
                EXPECT_LE(phase, 1.2) << "phase " << i;
            }
        }
    }

    TempDir dir;
    std::unique_ptr<Pty> pty;
};

TEST_F(Blinker, KeyInFirstCycleFinishesTheCycleThenClearsThePort)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty->send("x");
    ASSERT_TRUE(pty->wait_exit(6000)) << pty->output();
    std::vector<Call> writes = port_writes(log());
    EXPECT_EQ(values(writes), (std::vector<int>{1, 2, 0}));
    expect_steady(writes);
    EXPECT_EQ(read_calls(log()).back().what, "unload");

    const std::string &out = pty->output();
    EXPECT_EQ(count(out, instructions), 1u);
    // Not echoed, left waiting in the terminal's input, terminal as found.
    EXPECT_EQ(out.substr(out.find(instructions) + instructions.size()),
              "\r\n[exit=0 mode=same key=x]\r\n");
}

TEST_F(Blinker, KeyInSecondCycleGivesTwoWholeCycles)
{
    ASSERT_EQ(writes_after(3, 5000).size(), 3u);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    pty->send("q");
    ASSERT_TRUE(pty->wait_exit(6000)) << pty->output();
    std::vector<Call> writes = port_writes(log());
    EXPECT_EQ(values(writes), (std::vector<int>{1, 2, 1, 2, 0}));
    expect_steady(writes);
    EXPECT_NE(pty->output().find("[exit=0 mode=same key=q]"), std::string::npos);
}

TEST_F(Blinker, WithoutKeyItAlternatesUntilSigtermWhichRestoresTheTerminal)
{
    std::vector<Call> writes = writes_after(5, 7000);
    EXPECT_EQ(values(writes), (std::vector<int>{1, 2, 1, 2, 1}));
    expect_steady(writes);
    kill(program_pid(), SIGTERM);
    ASSERT_TRUE(pty->wait_exit(5000)) << pty->output();
    EXPECT_EQ(count(pty->output(), instructions), 1u);
    EXPECT_NE(pty->output().find("[exit=143 mode=same key=]"), std::string::npos) << pty->output();
}

TEST_F(Blinker, CtrlCEndsByInterruptAndRestoresTheTerminal)
{
    ASSERT_EQ(writes_after(1, 3000).size(), 1u);
    pty->send("\x03");
    ASSERT_TRUE(pty->wait_exit(5000)) << pty->output();
    EXPECT_NE(pty->output().find("[exit=130 mode=same key=]"), std::string::npos) << pty->output();
}

TEST(BlinkerPause, OneKeyPressIsOneKeyAlsoWhenItSendsSeveralBytes)
{
    TempDir dir; // no library: the failure path with its two pauses
    copy_file(LED_BLINK_PATH, dir / "LED_blink");
    Pty pty(dir.path, wrapper, {});
    ASSERT_TRUE(pty.wait_for("LoadLibrary Failed.\r\nPress any key to continue . . . ", 5000));
    pty.send("\x1b[A"); // an arrow key: three bytes
    ASSERT_TRUE(pty.wait_for("inpout32.dll\r\nPress any key to continue . . . ", 3000));
    EXPECT_FALSE(pty.wait_exit(300)) << "the rest of the arrow key answered the second pause";
    pty.send("\xc5\xbe"); // one key, two bytes of UTF-8
    ASSERT_TRUE(pty.wait_exit(3000));
    EXPECT_NE(pty.output().find("[exit=1 mode=same key=]"), std::string::npos) << pty.output();
}

TEST(BlinkerOnVirtualPort, OneCycleEndsWithTheDataRegisterCleared)
{
    TempDir dir;
    copy_file(LED_BLINK_PATH, dir / "LED_blink");
    copy_file(INPOUT32_PATH, dir / "inpout32.dll");
    Pty pty(dir.path, wrapper, {"LPT_VIRTUAL_DIR=" + (dir / "ports")});
    ASSERT_TRUE(pty.wait_for(instructions, 5000)) << pty.output();
    pty.send(" ");
    ASSERT_TRUE(pty.wait_exit(6000));
    EXPECT_NE(pty.output().find("[exit=0 mode=same key= ]"), std::string::npos) << pty.output();
    // The state file latches the last value and keeps the history.
    setenv("LPT_VIRTUAL_DIR", (dir / "ports").c_str(), 1);
    vport::Port port;
    std::string why;
    ASSERT_TRUE(vport::open_existing(0x3BC, &port, &why)) << why;
    EXPECT_EQ(vport::read(port.state, vport::data), 0);
    vport::Write history[8];
    size_t n = vport::recent_writes(port.state, history, 8);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(history[0].value, 1);
    EXPECT_EQ(history[1].value, 2);
    EXPECT_EQ(history[2].value, 0);
    vport::close(&port);
}

} // namespace
