// The whole program on a terminal, as a person runs it: the port values and
// their timing, the console bytes, keys, Ctrl+C and SIGTERM, and the terminal
// left as it was found.
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
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

struct Session {
    TempDir dir;
    std::unique_ptr<Pty> pty;

    explicit Session(bool with_library = true)
    {
        copy_file(LED_BLINK_PATH, dir / "LED_blink");
        if (with_library) {
            copy_file(FAKE_DIR "/fake_both.so", dir / "inpout32.dll");
        }
        pty = std::make_unique<Pty>(dir.path, std::vector<std::string>{"/bin/sh", "-c", wrapper},
                                    std::vector<std::string>{"FAKE_LPT_LOG=" + (dir / "log")});
    }
    // The port writes, once there are `n` of them.
    std::vector<Call> writes(size_t n)
    {
        for (int waited = 0; port_writes(dir / "log").size() < n && waited < 8000; waited += 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::vector<Call> writes = port_writes(dir / "log");
        // Every write goes to 0x3BC, and each pattern stands for about a second.
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].port, 0x3BC);
            double phase = i > 0 ? writes[i].seconds - writes[i - 1].seconds : 1;
            EXPECT_TRUE(phase >= 0.95 && phase <= 1.2) << "phase " << i << ": " << phase;
        }
        return writes;
    }
    std::string after_instructions()
    {
        const std::string &out = pty->output();
        EXPECT_EQ(count(out, instructions), 1u) << out;
        return out.substr(std::min(out.size(), out.find(instructions) + instructions.size()));
    }
};

// A key after `after` port writes: the cycle it falls in runs whole, then 0.
class Key : public ::testing::TestWithParam<std::pair<size_t, std::vector<int>>> {};

TEST_P(Key, CycleRunsWholeThenThePortIsClearedAndTheKeyIsLeftInTheInput)
{
    Session run;
    ASSERT_TRUE(run.pty->wait_for(instructions, 5000)) << run.pty->output();
    run.writes(GetParam().first);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.pty->send("x");
    ASSERT_TRUE(run.pty->wait_exit(6000));
    EXPECT_EQ(values(run.writes(GetParam().second.size())), GetParam().second);
    EXPECT_EQ(calls(run.dir / "log").back().what, "unload");
    // Not echoed, still waiting in the terminal's input, terminal as found.
    EXPECT_EQ(run.after_instructions(), "\r\n[exit=0 mode=same key=x]\r\n");
}

INSTANTIATE_TEST_SUITE_P(Blinker, Key,
                         ::testing::Values(std::make_pair(1, std::vector<int>{1, 2, 0}),
                                           std::make_pair(3, std::vector<int>{1, 2, 1, 2, 0})));

// Without a key it alternates; SIGTERM or Ctrl+C end it by that signal, and
// the terminal is restored.
class Interrupt : public ::testing::TestWithParam<int> {};

TEST_P(Interrupt, AlternatesUntilInterruptedAndRestoresTheTerminal)
{
    Session run;
    EXPECT_EQ(values(run.writes(5)), (std::vector<int>{1, 2, 1, 2, 1}));
    if (GetParam() == SIGTERM) {
        kill(calls(run.dir / "log").at(0).value, SIGTERM); // the double logs the pid
    } else {
        run.pty->send("\x03");
    }
    ASSERT_TRUE(run.pty->wait_exit(5000));
    // The shell may say "Terminated" first.
    EXPECT_NE(run.after_instructions().find("[exit=" + std::to_string(128 + GetParam()) +
                                            " mode=same key=]\r\n"),
              std::string::npos)
        << run.pty->output();
}

INSTANTIATE_TEST_SUITE_P(Blinker, Interrupt, ::testing::Values(SIGTERM, SIGINT));

TEST(BlinkerPause, OneKeyPressIsOneKeyAlsoWhenItSendsSeveralBytes)
{
    Session run(false); // no library: the failure path with its two pauses
    Pty &pty = *run.pty;
    ASSERT_TRUE(pty.wait_for("LoadLibrary Failed.\r\nPress any key to continue . . . ", 5000));
    pty.send("\x1b[A"); // an arrow key: three bytes
    ASSERT_TRUE(pty.wait_for("inpout32.dll\r\nPress any key to continue . . . ", 3000));
    EXPECT_FALSE(pty.wait_exit(300)) << "the rest of the arrow key answered the second pause";
    pty.send("\xc5\xbe"); // one key, two bytes of UTF-8
    ASSERT_TRUE(pty.wait_exit(3000));
    EXPECT_NE(pty.output().find("[exit=1 mode=same key=]"), std::string::npos) << pty.output();
}

} // namespace
