// lptmon as its user meets it: the --once, --log and live views of what the
// port library wrote, the states it refuses, and every way to end it with
// the terminal given back.
#include "render.h"
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace support;

namespace {

const std::string once_line = "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001\n";
const std::string log_line = "  data    0x01 00000001  pid ";

class Lptmon : public ::testing::Test {
  protected:
    // The port library, in a program of its own, writes 1 to 0x3BC.
    void probe() { run(dir.path, env + PROBE_PATH); }
    TempDir dir;
    const std::string env = "export LPT_BACKEND=virtual LPT_VIRTUAL_DIR=ports;";
    const std::string file = dir / "ports/lpt-3bc.state";
};

struct OnceCase {
    const char *name;
    std::string before;  // commands that set the port up; $P is the probe
    std::string command; // $L is lptmon
    std::string first_line;
    int status;
};
NAMED_CASES(OnceCase)

class LptmonOnce : public Lptmon, public ::testing::WithParamInterface<OnceCase> {};

// The data value or why not. A port only read holds no write; with its
// output closed, nothing of lptmon may land in the state file; what the
// library refuses, lptmon refuses in the library's words. A reader that goes
// away ends lptmon while the port is idle (the plain view and --log alike),
// by SIGPIPE as a write would, or with status 1 where SIGPIPE is ignored. Any
// other failed write (a full disk) ends it at once with its reason.
TEST_P(LptmonOnce, TellsTheDataValueOrWhyNot)
{
    const OnceCase &c = GetParam();
    Result result = run(dir.path, env + " P=" PROBE_PATH " L=" LPTMON_PATH "; { " + c.before +
                                      " :; } >/dev/null 2>&1; " + c.command);
    EXPECT_EQ(result.output.substr(0, result.output.find('\n') + 1), c.first_line);
    EXPECT_EQ(result.status, c.status);
}

const std::string never = "lptmon: port 0x3BC has never been written (no write in "
                          "ports/lpt-3bc.state)\n";
INSTANTIATE_TEST_SUITE_P(
    Lptmon, LptmonOnce,
    ::testing::Values(
        OnceCase{"NeverWritten", "", "$L --once", never, 1},
        OnceCase{"OnlyRead", "$P 3bc;", "$L --once", never, 1},
        OnceCase{"OutputClosed", "$P;",
                 "$L --log >&-; s=$?; $L --once >/dev/null || exit 9; exit $s",
                 "lptmon: standard output is closed\n", 1},
        OnceCase{"AnyRegisterNamesThePort", "$P;", "$L --once --port 0x3BE", once_line, 0},
        // Inputs set as switches to ground would: Busy reads inverted; a
        // port never written gets its file.
        OnceCase{"SetThenRead", "", "$L --set 15=low --set 11=low; $P 3bd", "init=0 3bd=f7\n", 0},
        OnceCase{"SetNoInput", "", "$L --set 14=low",
                 "lptmon: --set 14=low: pin 14 is no input; the inputs are pins 15, 13, 12, 10 "
                 "and 11\n",
                 2},
        // Two modes at once would drop one; control characters in an
        // argument never reach the terminal raw.
        OnceCase{"SetWithOnce", "$P;", "$L --set 15=low --once",
                 "lptmon: --set 15=low and --once cannot go together; give one of them\n", 2},
        OnceCase{"ControlCharactersEscaped", "", "$L \"$(printf 'x\\n\\033[2J\\302\\233\\377é')\"",
                 "lptmon: unknown argument: x\\n\\x1b[2J\\xc2\\x9b\\xffé\n", 2},
        OnceCase{"FileLinked", "$P; ln ports/lpt-3bc.state linked;", "$L --once",
                 "lptmon: ports/lpt-3bc.state is not a plain file of yours\n", 1},
        OnceCase{"ReaderGoneWhileIdle", "$P;", "{ $L; echo $? > s; } | head -1; exit $(cat s)",
                 once_line, 128 + SIGPIPE},
        OnceCase{"ReaderGoneSigpipeIgnored", "$P; trap '' PIPE;",
                 "{ $L --log; echo $? > s; } | head -1 | sed 's/^[0-9. +]*//; s/  pid.*//'; "
                 "exit $(cat s)",
                 "data    0x01 00000001\n", 1},
        OnceCase{"FullDisk", "$P;", "$L --log >/dev/full",
                 "lptmon: cannot write standard output: No space left on device\n", 1},
        OnceCase{"TraceOnFullDisk", "$P;", "$L --vcd /dev/full",
                 "lptmon: cannot write /dev/full: No space left on device\n", 1},
        OnceCase{"FileDamaged", "$P; echo x > ports/lpt-3bc.state;", "$L --once",
                 "lptmon: ports/lpt-3bc.state is damaged or of another version\n", 1}),
    ::testing::PrintToStringParamName());

TEST_F(Lptmon, LogWaitsForStateThenFollowsItThroughShrinkingRebuildingAndLocking)
{
    Pty log(dir.path, {LPTMON_PATH, "--log"}, {"LPT_VIRTUAL_DIR=ports"});
    ASSERT_TRUE(log.wait_for("no state yet", 3000)) << log.output();
    probe();
    ASSERT_TRUE(log.wait_for(log_line, 3000)) << log.output();
    probe();
    ASSERT_TRUE(log.wait_for("+", 3000)) << log.output(); // with the gap to the one before
    ASSERT_TRUE(log.wait_for(log_line, 3000, 2)) << log.output();
    // Shrunk under it: no crash; the library makes it anew and the log goes on.
    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    probe();
    ASSERT_TRUE(log.wait_for(log_line, 3000, 3)) << log.output();
    // Replaced by a file held locked: it says so and still ends on Ctrl+C.
    int held = open((file + ".new").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    ASSERT_TRUE(log.wait_for("is locked by another program; waiting", 3000)) << log.output();
    log.send("\x03");
    EXPECT_TRUE(log.wait_exit(3000)) << log.output();
    close(held);
}

// Stopped right after a program's first writes to a port it waited for,
// while it napped (held stopped meanwhile), the log and the trace still
// have them. Stopped while its reader is slow, the log ends with whole
// lines, each write read shown or counted.
TEST_F(Lptmon, StopKeepsTheWritesJustBeforeItAndEndsWithWholeLines)
{
    const std::string waited =
        env + " P=" PROBE_PATH " L=" LPTMON_PATH
              "; rm -rf ports out err; $L $MODE > out 2> err & m=$!; until grep -qs 'no state yet' "
              "err out; do sleep 0.1; done; kill -STOP $m; until grep -q "
              "'^State:.T' /proc/$m/status; do sleep 0.1; done; $P 3bc=1 "
              "3bc=2 >/dev/null; kill $m; kill -CONT $m; wait $m; ";
    EXPECT_EQ(
        run(dir.path, "MODE=--log; " + waited + "grep pid out | sed 's/^[0-9. +]*//; s/  pid.*//'")
            .output,
        "data    0x01 00000001\ndata    0x02 00000010\n");
    EXPECT_EQ(run(dir.path, "MODE='--vcd t.vcd'; " + waited + "grep -x '[01]!' t.vcd | tr -d '\\n'")
                  .output,
              "0!1!0!");
    // The reader takes about 300 kB/s; the log has all the port keeps to show.
    const std::string kept = std::to_string(watch::history_length);
    EXPECT_EQ(
        run(dir.path,
            env + "rm -rf ports; " PROBE_PATH " $(yes 3bc=1 | head -" + kept +
                ") >/dev/null; rm -f out; mkfifo p; awk '{ print; fflush(); if (NR % 50 == 0) "
                "system(\"sleep 0.01\") }' < p > out & " LPTMON_PATH
                " --log > p & m=$!; until [ -s out ]; do sleep 0.1; done; kill $m; "
                "wait; tail -c 1 out | od -An -c; tail -n 1 out | tr -d 0-9; awk "
                "'/pid/ { n++ } /too fast/ { n += substr($1, 2) } END { print n }' out")
            .output,
        "  \\n\n( writes came too fast to show)\n" + kept + "\n");
}

// The rest of the test needs a real reader of the trace format.
#define SKIP_WITHOUT_SIGROK()                                                                      \
    if (run("/", "command -v sigrok-cli").status != 0)                                             \
    GTEST_SKIP() << "sigrok-cli is not installed (apt-get install sigrok-cli)"

// Stopped while 76 writes more than a port keeps came, back, the trace
// says how many it missed, as a signal of its own that a viewer reads to the
// end (the log counts them as at a stop, above): first the pins as they
// are, D0 high, none of the port's earlier writes; the misses; then the
// first write read after them, D1 high.
TEST_F(Lptmon, TraceSaysHowManyWritesCameTooFastToShow)
{
    SKIP_WITHOUT_SIGROK();
    // lptmon is held stopped once it has looked at the port, then let go on.
    const std::string script = env +
                               ": > out; " LPTMON_PATH " $MODE > out 2> err & m=$!; "
                               "until grep -q \"$SEEN\" out; do sleep 0.1; done; kill -STOP $m; "
                               "until grep -q '^State:.T' /proc/$m/status; do sleep 0.1; "
                               "done; " PROBE_PATH " $(yes 3bc=2 | head -" +
                               std::to_string(watch::history_length + 76) +
                               ") >/dev/null; "
                               "kill -CONT $m; until eval \"$DONE\"; do sleep 0.1; done; kill $m; "
                               "wait $m; eval \"$SHOW\"";
    run(dir.path, env + PROBE_PATH " 3bc=1 3bc=2 3bc=1");
    EXPECT_EQ(run(dir.path, "MODE=--vcd SEEN=^1! DONE='grep -q ^0! out' SHOW='cut "
                            "-d\" \" -f1-9 err; sigrok-cli -I vcd:compress=1000 -i out -C "
                            "D0_pin2,D1_pin3,missed -O csv | grep ^[01] | uniq'; " +
                                script)
                  .output,
              "lptmon: 76 writes came too fast to record, before\n1,0,0\n1,0,1\n0,1,0\n");
}

// D0 and D1 ("10": D0 high) at each time mark of a trace where they changed,
// the mark in microseconds (the trace has nanoseconds); levels not yet known
// are left out.
const std::string data_lines = "awk 'function s() { if (a != \"\" && b != \"\" && a b != l) { l = "
                               "a b; print int(t / 1000), l } }"
                               " /^#/ { s(); t = substr($0, 2) } /^[01]!$/ { a = substr($0, 1, 1) }"
                               " /^[01]\"$/ { b = substr($0, 1, 1) } END { s() }' trace.vcd";

// The blinker's trace, by its own time marks: D0 and D1 in turn, a second
// each, then both low. Two changes a few nanoseconds apart keep a time each:
// every strobe pulse of two back-to-back writes is there, also when lptmon is
// stopped right after the last one; and a real reader of the format loads it
// at its own resolution (the still stretches compressed, or it would make
// seconds of samples), each pulse's end counted.
TEST_F(Lptmon, TraceKeepsTheBlinkersSecondsAndEveryBackToBackStrobePulse)
{
    Pty trace(dir.path, {LPTMON_PATH, "--vcd", "trace.vcd"}, {"LPT_VIRTUAL_DIR=ports"});
    {
        Pty blinker(dir.path, {LED_BLINK_PATH}, {"LPT_VIRTUAL_DIR=ports", "LPT_BACKEND=virtual"});
        // Into the second cycle: its first write is in the trace.
        ASSERT_TRUE(
            eventually([&] { return count(run(dir.path, data_lines).output, "\n") >= 3; }, 8000))
            << read_file(dir / "trace.vcd");
        blinker.send("x");
        ASSERT_TRUE(blinker.wait_exit(5000)) << blinker.output();
    }
    run(dir.path, env + PROBE_PATH " $(yes '3be=0d 3be=0c' | head -200) >/dev/null");
    kill(trace.pid(), SIGTERM);
    ASSERT_TRUE(trace.wait_exit(3000)) << trace.output();
    const std::string text = read_file(dir / "trace.vcd");
    std::vector<std::string> levels;
    std::istringstream lines(run(dir.path, data_lines).output);
    long at = 0, before = 0;
    for (std::string level; lines >> at >> level; before = at) {
        EXPECT_TRUE(levels.empty() || (at - before >= 950000 && at - before <= 1200000)) << text;
        levels.push_back(level);
    }
    EXPECT_EQ(levels, (std::vector<std::string>{"10", "01", "10", "01", "00"})) << text;
    SKIP_WITHOUT_SIGROK();
    EXPECT_EQ(run(dir.path, "grep timescale trace.vcd; s='sigrok-cli -I vcd:compress=1000 -i "
                            "trace.vcd'; $s -O null 2>&1; $s -C nStrobe_pin1 -O csv | awk '/^[01]/ "
                            "{ n += seen && $1 == 1 && last == 0; seen = 1; last = $1 } END { "
                            "print n }'")
                  .output,
              "$timescale 1ns $end\nMETA samplerate: 1000000000\n200\n");
}

// The docs' example, as the page has it: it waits for the switch on pin 15,
// closed by the live view's key e, then lights D2; programs read the inputs
// the keys set.
TEST_F(Lptmon, DocsExampleLightsD2WhenTheLiveViewsKeyClosesTheSwitch)
{
    EXPECT_EQ(run(SOURCE_DIR, "sed -n '/^```cpp$/,/^```$/p' docs/testing-your-program.md | "
                              "sed '1d;$d' | diff - examples/switch_led.cpp")
                  .output,
              "");
    Pty example(dir.path, {SWITCH_LED_PATH}, {"LPT_VIRTUAL_DIR=ports", "LPT_BACKEND=virtual"});
    ASSERT_TRUE(example.wait_for("Waiting", 5000)) << example.output();
    Pty pty(dir.path, {LPTMON_PATH}, {"LPT_VIRTUAL_DIR=ports"});
    ASSERT_TRUE(pty.wait_for("q quits", 5000)) << pty.output();
    pty.send("eb");
    ASSERT_TRUE(pty.wait_for("status   0x3BD  0xF7", 5000)) << pty.output();
    ASSERT_TRUE(example.wait_exit(5000)) << example.output();
    EXPECT_EQ(example.output(),
              "Waiting for the switch on pin 15...\r\nSwitch closed: the LED on D2 is lit.\r\n");
    EXPECT_EQ(run(dir.path, env + PROBE_PATH " 3bd; " LPTMON_PATH " --once").output,
              "init=0 3bd=f7\nport 0x3BC  D7-D0 ( )( )( )( )( )(*)( )( )  data 0x04 00000100\n"
              "status   0x3BD  0xF7  11110111  inputs 15 nError low, 13 Select high, 12 "
              "PaperOut high, 10 nAck high, 11 Busy low\n"
              "control  0x3BE  0x0C  00001100  outputs 1 nStrobe high, 14 nAutoFd high, 16 "
              "nInit high, 17 nSelectIn low\n");
}

struct Ending {
    const char *name;
    std::string keys;
    int status;
};
NAMED_CASES(Ending)

// Reports how lptmon ended and whether the terminal mode is the one found
// before it; `set -m` gives it a job of its own.
const std::string wrapper = "set -m; ulimit -c 0; stty -g > before; " LPTMON_PATH "; s=$?\n"
                            "stty -g > after; cmp -s before after && m=same || m=changed\n"
                            "printf '\\n[exit=%s mode=%s]\\n' \"$s\" \"$m\"\n";

class LptmonEnding : public Lptmon, public ::testing::WithParamInterface<Ending> {};

TEST_P(LptmonEnding, LiveViewGivesTheTerminalBackEveryWayOut)
{
    const Ending &e = GetParam();
    probe();
    Pty pty(dir.path, {"/bin/sh", "-c", wrapper}, {"LPT_VIRTUAL_DIR=" + (dir / "ports")});
    const std::string take = "\x1b[?1049h\x1b[?25l", give_back = "\x1b[?25h\x1b[?1049l";
    ASSERT_TRUE(pty.wait_for("q quits", 5000)) << pty.output();
    ASSERT_TRUE(pty.wait_for("data     0x3BC  0x01  00000001", 5000)) << pty.output();
    pty.send(e.keys);
    ASSERT_TRUE(pty.wait_exit(5000)) << pty.output();
    const std::string &out = pty.output();
    EXPECT_NE(out.find("[exit=" + std::to_string(e.status) + " mode=same]"), std::string::npos)
        << out;
    EXPECT_EQ(count(out, take), 1u);
    EXPECT_EQ(count(out, give_back), 1u);
    EXPECT_LT(out.find(take), out.find(give_back));
}

INSTANTIATE_TEST_SUITE_P(Lptmon, LptmonEnding,
                         ::testing::Values(Ending{"CtrlC", "\x03", 0}, Ending{"Q", "q", 0},
                                           Ending{"CtrlBackslash", "\x1c", 128 + SIGQUIT}),
                         ::testing::PrintToStringParamName());

// Ctrl+Z gives the shell back its screen and mode while lptmon is stopped;
// fg takes the terminal again and redraws the view, and q still ends it.
TEST_F(Lptmon, CtrlZGivesTheTerminalBackAndFgRedraws)
{
    probe();
    std::string script = wrapper;
    script.replace(script.find("; s=$?"), 6,
                   "\nstty -g > stopped; cmp -s before stopped && echo '[stopped mode=same]'\n"
                   "fg >/dev/null; s=$?");
    Pty pty(dir.path, {"/bin/sh", "-c", script}, {"LPT_VIRTUAL_DIR=" + (dir / "ports")});
    const std::string take = "\x1b[?1049h\x1b[?25l", give_back = "\x1b[?25h\x1b[?1049l",
                      data = "data     0x3BC  0x01  00000001";
    ASSERT_TRUE(pty.wait_for(data, 5000)) << pty.output();
    pty.send("\x1a");
    ASSERT_TRUE(pty.wait_for("[stopped mode=same]", 5000)) << pty.output();
    ASSERT_TRUE(pty.wait_for(take, 5000, 2)) << "not taken again: " << pty.output();
    const size_t drawn = count(pty.output().substr(0, pty.output().rfind(take)), data);
    ASSERT_TRUE(pty.wait_for(data, 5000, drawn + 1)) << "not redrawn: " << pty.output();
    pty.send("q");
    ASSERT_TRUE(pty.wait_exit(5000)) << pty.output();
    EXPECT_NE(pty.output().find("[exit=0 mode=same]"), std::string::npos) << pty.output();
    EXPECT_EQ(count(pty.output(), give_back), 2u); // on the stop and on q
}

} // namespace
