// Binding to the port library: each way it can fail, with the exact console
// bytes in their order, the pauses, the exit status and no port write; and
// the calls reaching the library's entries unchanged once bound.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using namespace support;

namespace {

const std::string pause_prompt = "Press any key to continue . . . \n";
const std::string main_failure = "Ne morem naloziti dinamicne knjiznice inpout32.dll\n";
const std::string load_failure =
    "LoadLibrary Failed.\n" + pause_prompt + main_failure + pause_prompt;
const std::string inp_failure =
    "GetProcAddress for Inp32 Failed.\n" + pause_prompt + main_failure + pause_prompt;

struct Case {
    const char *name;
    const char *library; // a command that puts it beside the program as inpout32.dll
    std::string output;
    // Two keys waiting; each pause takes one. Arguments are ignored.
    const char *command = "printf ab | ./LED_blink --x y";
};
NAMED_CASES(Case)

class Binding : public ::testing::TestWithParam<Case> {};

// On a terminal, which a pause never waits on where its input is not one.
TEST_P(Binding, FailureIsToldInExactWordsAndThePortIsNeverWritten)
{
    TempDir dir;
    copy_file(LED_BLINK_PATH, dir / "LED_blink");
    run(dir.path, GetParam().library);
    Pty pty(dir.path, {"/bin/sh", "-c", GetParam().command}, {"FAKE_LPT_LOG=calls.log"});
    ASSERT_TRUE(pty.wait_exit(5000)) << pty.output();
    std::string output = pty.output();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    EXPECT_EQ(output, GetParam().output);
    EXPECT_EQ(pty.status(), 1);
    EXPECT_TRUE(calls(dir / "calls.log", "out").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Binding,
    ::testing::Values(Case{"NoLibrary", "", load_failure},
                      Case{"FifoNotWaitedOn", "mkfifo inpout32.dll", load_failure},
                      Case{"LowerCaseNames", "cp " FAKE_DIR "/fake_lower.so inpout32.dll",
                           inp_failure},
                      Case{"OnlyInp32", "cp " FAKE_DIR "/fake_inp_only.so inpout32.dll",
                           "GetProcAddress for Oup32 Failed.\n" + main_failure + pause_prompt},
                      // Started with its input closed.
                      Case{"InputClosed", "", load_failure, "./LED_blink <&-"}),
    ::testing::PrintToStringParamName());

// On a terminal each pause waits for one key and takes all of its bytes (an
// arrow sends three): the rest answers neither the next pause nor the shell.
TEST(BindingPause, EachPauseTakesOneWholeKey)
{
    TempDir dir;
    copy_file(LED_BLINK_PATH, dir / "LED_blink");
    Pty pty(
        dir.path,
        {"/bin/sh", "-c",
         "until [ -e typed ]; do sleep 0.01; done; ./LED_blink; "
         "stty -icanon min 0 time 3; printf '[left=%s]\\n' \"$(dd bs=9 count=1 2>/dev/null)\""});
    pty.send("\x1b[Abz");
    ASSERT_TRUE(pty.wait_for("^[[Abz", 5000)) << pty.output(); // typed before it runs
    std::ofstream(dir / "typed");
    ASSERT_TRUE(pty.wait_exit(5000)) << pty.output();
    std::string output = pty.output();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    EXPECT_EQ(output, "^[[Abz" + load_failure + "[left=z]\n");
}

TEST(BindingBound, PortCallsReachTheEntriesUnchangedAndTheLibraryIsReleased)
{
    TempDir dir, elsewhere;
    copy_file(PROBE_PATH, dir / "lpt_probe");
    copy_file(FAKE_DIR "/fake_both.so", dir / "inpout32.dll");
    // One of the same name on the search path must not win over the one beside.
    copy_file(FAKE_DIR "/fake_none.so", elsewhere / "inpout32.dll");
    Result result = run(dir.path, "FAKE_LPT_LOG=calls.log LD_LIBRARY_PATH=" + elsewhere.path +
                                      " ./lpt_probe && cut -d' ' -f1-3 calls.log | tail -n +2");
    EXPECT_EQ(result.output, "init=0 3bc=5a\ninp 956 90\nout 956 1\nunload 0 0\n");
}

} // namespace
