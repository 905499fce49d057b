// Running the built programs as a user does, and reading what the port
// library's test double recorded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include "user_run.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// A parameterised test's cases carry a `name`: the case is printed, and
// with ::testing::PrintToStringParamName() named, by it.
#define NAMED_CASES(Case)                                                                          \
    void PrintTo(const Case &c, std::ostream *os)                                                  \
    {                                                                                              \
        *os << c.name;                                                                             \
    }

namespace support {

using user_run::count;
using user_run::Pty;
using user_run::read_file;
using user_run::TempDir;

void copy_file(const std::string &from, const std::string &to); // as an executable

// Until `done` holds, looked at every 20 ms, at most `timeout_ms`; whether it
// holds at the end. For events no output line tells: a file made, a write
// recorded.
bool eventually(const std::function<bool()> &done, int timeout_ms);

struct Result {
    int status;         // exit code, 128 + signal (137 when it had to be stopped)
    std::string output; // standard output and standard error, interleaved
};
// Runs a shell command in `dir` with no terminal and standard input empty,
// at most ten seconds.
Result run(const std::string &dir, const std::string &command);

struct Call {
    std::string what; // load, inp, out, unload
    int port, value;
    double seconds; // monotonic
};
// The calls the test double logged, only those named `what` when given.
std::vector<Call> calls(const std::string &log, const std::string &what = "");

} // namespace support

#endif
