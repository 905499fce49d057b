// The whole program on a terminal, as a person runs it: the port values and
// their timing, the console bytes, keys, signals and crashes, and the
// terminal left as it was found.
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>

using namespace support;

namespace {

const std::string instructions = "Dve LED diodi na V/I vmesniku utripata. \r\n"
                                 "Pritisni poljubno tipko na PC-ju za prekinitev programa.";

// Runs the program, then reports how it ended, whether the terminal mode is
// the one found before it, and the first key still waiting in the input.
// The program starts once what was typed before it is in the terminal (at
// most 10 s on).
const std::string wrapper = "n=0; until [ -e typed ] || [ $((n += 1)) -gt 1000 ]; do sleep 0.01; "
                            "done\n"
                            "trap : INT QUIT\n"
                            "ulimit -c 0\n"
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

    explicit Session(const std::string &typed_before = "", const std::string &script = wrapper)
    {
        copy_file(LED_BLINK_PATH, dir / "LED_blink");
        copy_file(FAKE_DIR "/fake_both.so", dir / "inpout32.dll");
        pty = std::make_unique<Pty>(dir.path, std::vector<std::string>{"/bin/bash", "-c", script},
                                    std::vector<std::string>{"FAKE_LPT_LOG=" + (dir / "log")});
        pty->send(typed_before); // the terminal holds it until someone reads
        std::ofstream(dir / "typed");
    }
    // The values written to the port, once there are `n` of them.
    std::vector<int> writes(size_t n)
    {
        eventually([&] { return calls(dir / "log", "out").size() >= n; }, 8000);
        std::vector<Call> writes = calls(dir / "log", "out");
        // Every write goes to 0x3BC, and each pattern stands for about a second.
        std::vector<int> values;
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].port, 0x3BC);
            double phase = i > 0 ? writes[i].seconds - writes[i - 1].seconds : 1;
            EXPECT_TRUE(phase >= BLINK_PHASE_MIN && phase <= BLINK_PHASE_MAX)
                << "phase " << i << ": " << phase;
            values.push_back(writes[i].value);
        }
        return values;
    }
    std::string after_instructions()
    {
        const std::string &out = pty->output();
        EXPECT_EQ(count(out, instructions), 1u) << out;
        return out.substr(std::min(out.size(), out.find(instructions) + instructions.size()));
    }
};

struct Case {
    const char *name;
    std::string typed_before; // before the program started
    size_t writes;            // port writes before it is ended
    std::string key;          // ends it, or
    int sig;                  // ends it (Ctrl+C for SIGINT)
    std::vector<int> values;  // all the port writes
    std::string left;         // what the shell gets afterwards
};
NAMED_CASES(Case)

// A key lets the cycle it falls in run whole, then 0; it is not echoed and
// does not reach the shell, while what was typed before the program started
// does. A signal, also a crash, ends it by that signal with the terminal
// restored.
class Blinker : public ::testing::TestWithParam<Case> {};

TEST_P(Blinker, AlternatesUntilEndedAndLeavesTheTerminalAsFound)
{
    const Case &c = GetParam();
    Session run(c.typed_before);
    ASSERT_TRUE(run.pty->wait_for(instructions, 5000)) << run.pty->output();
    // The write just seen is in the cycle the key or signal falls in.
    run.writes(c.writes);
    if (c.sig == SIGINT) {
        run.pty->send("\x03");
    } else if (c.sig != 0) {
        kill(calls(run.dir / "log").at(0).value, c.sig); // the double logs the pid
    }
    run.pty->send(c.key);
    ASSERT_TRUE(run.pty->wait_exit(6000));
    EXPECT_EQ(run.writes(c.values.size()), c.values);
    const std::string end =
        "[exit=" + std::to_string(c.sig ? 128 + c.sig : 0) + " mode=same key=" + c.left + "]\r\n";
    if (c.sig != 0) { // the shell may say "Terminated" first
        EXPECT_NE(run.after_instructions().find(end), std::string::npos) << run.pty->output();
    } else {
        EXPECT_EQ(calls(run.dir / "log").back().what, "unload");
        EXPECT_EQ(run.after_instructions(), "\r\n" + end);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ended, Blinker,
    ::testing::Values(Case{"CtrlDInSecondCycle", "", 3, "\x04", 0, {1, 2, 1, 2, 0}, ""},
                      Case{"TypedBeforeStart", "a", 0, "", 0, {1, 2, 0}, "a"},
                      Case{"INT", "", 1, "", SIGINT, {1}, ""},
                      Case{"SEGV", "", 1, "", SIGSEGV, {1}, ""}),
    ::testing::PrintToStringParamName());

// Ctrl+Z gives the shell back the terminal in the mode it had, and after fg
// one key without Enter ends the blinker again. A job-control shell that is
// not interactive keeps the terminal as the stopped program left it.
TEST(BlinkerStop, CtrlZHandsBackTheShellsModeAndFgTakesSingleKeysAgain)
{
    std::string script = wrapper;
    script.replace(script.find("./LED_blink; s=$?"), 17,
                   "set -m\n./LED_blink\nstty -g > stopped\n"
                   "cmp -s before stopped && echo '[stopped mode=same]' || echo '[stopped]'\n"
                   "fg >/dev/null; s=$?");
    Session run("", script);
    ASSERT_TRUE(run.pty->wait_for(instructions, 5000)) << run.pty->output();
    run.writes(2);
    run.pty->send("\x1a");
    ASSERT_TRUE(run.pty->wait_for("[stopped", 3000)) << run.pty->output();
    EXPECT_NE(run.pty->output().find("[stopped mode=same]"), std::string::npos);
    // Continued: one more write shows it runs, then the key.
    const size_t before = calls(run.dir / "log", "out").size();
    eventually([&] { return calls(run.dir / "log", "out").size() > before; }, 3000);
    run.pty->send("x");
    ASSERT_TRUE(run.pty->wait_exit(4000)) << "no single-key mode after fg: " << run.pty->output();
    EXPECT_EQ(calls(run.dir / "log", "out").back().value, 0);
    const std::string &out = run.pty->output();
    EXPECT_EQ(out.substr(out.size() - 27), "\r\n[exit=0 mode=same key=]\r\n") << out;
}

} // namespace
