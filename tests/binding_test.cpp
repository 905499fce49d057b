// Binding to the port library: each way it can fail, with the exact console
// bytes in their order, the pauses, the exit status and no port write; and
// the calls reaching the library's entries unchanged once bound.
#include "support.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace support;

namespace {

const std::string pause_prompt = "Press any key to continue . . . \n";
const std::string main_failure = "Ne morem naloziti dinamicne knjiznice inpout32.dll\n";

struct Case {
    const char *name;
    const char *library; // file put beside the program as inpout32.dll
    std::string expected_output;
};

// A copy of a library with its ELF machine field changed: a library built for
// another architecture.
void write_foreign_library(const std::string &from, const std::string &to)
{
    std::string image = read_file(from);
    image[18] = static_cast<char>(183); // EM_AARCH64
    image[19] = 0;
    write_file(to, image);
}

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class Binding : public ::testing::TestWithParam<Case> {};

TEST_P(Binding, FailureIsToldInExactWordsAndThePortIsNeverWritten)
{
    const Case &c = GetParam();
    TempDir dir;
    copy_file(LED_BLINK_PATH, dir / "LED_blink");
    std::string library = c.library;
    if (library == "text") {
        write_file(dir / "inpout32.dll", "This is not a library.\n");
    } else if (library == "foreign") {
        write_foreign_library(FAKE_DIR "/fake_both.so", dir / "inpout32.dll");
    } else if (!library.empty()) {
        copy_file(FAKE_DIR "/" + library + ".so", dir / "inpout32.dll");
    }
    // Two keys waiting; each pause takes one.
    const std::string keys = "ab";
    Result result = run({dir / "LED_blink", "--ignored", "argument"}, dir.path,
                        {"FAKE_LPT_LOG=" + (dir / "calls.log")}, &keys);
    EXPECT_EQ(result.output, c.expected_output);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(port_writes(dir / "calls.log").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Binding,
    ::testing::Values(
        Case{"NoLibrary", "", "LoadLibrary Failed.\n" + pause_prompt + main_failure + pause_prompt},
        Case{"NotALibrary", "text",
             "LoadLibrary Failed.\n" + pause_prompt + main_failure + pause_prompt},
        Case{"OtherArchitecture", "foreign",
             "LoadLibrary Failed.\n" + pause_prompt + main_failure + pause_prompt},
        Case{"NeitherEntry", "fake_none",
             "GetProcAddress for Inp32 Failed.\n" + pause_prompt + main_failure + pause_prompt},
        Case{"LowerCaseNames", "fake_lower",
             "GetProcAddress for Inp32 Failed.\n" + pause_prompt + main_failure + pause_prompt},
        Case{"OnlyInp32", "fake_inp_only",
             "GetProcAddress for Oup32 Failed.\n" + main_failure + pause_prompt}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(BindingPause, EndOfInputOrClosedInputNeverHangs)
{
    TempDir dir;
    copy_file(LED_BLINK_PATH, dir / "LED_blink");
    const std::string empty;
    Result at_end = run({dir / "LED_blink"}, dir.path, {}, &empty, 5000);
    EXPECT_EQ(at_end.status, 1);
    EXPECT_EQ(count(at_end.output, pause_prompt), 2u);

    Result closed = run({"/bin/sh", "-c", "exec ./LED_blink <&-"}, dir.path, {}, nullptr, 5000);
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(count(closed.output, pause_prompt), 2u);
}

TEST(BindingBound, PortCallsReachTheEntriesUnchangedAndTheLibraryIsReleased)
{
    TempDir dir;
    copy_file(PROBE_PATH, dir / "lpt_probe");
    copy_file(FAKE_DIR "/fake_both.so", dir / "inpout32.dll");
    // A library of the same name on the search path must not win over the
    // one beside the program.
    TempDir elsewhere;
    copy_file(FAKE_DIR "/fake_none.so", elsewhere / "inpout32.dll");
    Result result =
        run({dir / "lpt_probe"}, dir.path,
            {"FAKE_LPT_LOG=" + (dir / "calls.log"), "LD_LIBRARY_PATH=" + elsewhere.path}, nullptr);
    EXPECT_EQ(result.output, "init=0 inp=0x5a\n");
    EXPECT_EQ(result.status, 0);

    std::vector<Call> calls = read_calls(dir / "calls.log");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].what, "load");
    EXPECT_EQ(calls[1].what, "inp");
    EXPECT_EQ(calls[1].port, 0x3BC);
    EXPECT_EQ(calls[2].what, "out");
    EXPECT_EQ(calls[2].port, 0x3BC);
    EXPECT_EQ(calls[2].value, 1);
    EXPECT_EQ(calls[3].what, "unload");
}

} // namespace
