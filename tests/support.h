// Running the built programs as a user does, and reading what the port
// library's test double recorded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <functional>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <vector>

// A parameterised test's cases carry a `name`: the case is printed, and
// with ::testing::PrintToStringParamName() named, by it.
#define NAMED_CASES(Case)                                                                          \
    void PrintTo(const Case &c, std::ostream *os)                                                  \
    {                                                                                              \
        *os << c.name;                                                                             \
    }

namespace support {

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void copy_file(const std::string &from, const std::string &to); // as an executable
size_t count(const std::string &text, const std::string &part);

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

// A program on a fresh pseudo-terminal that is its controlling terminal.
class Pty {
  public:
    Pty(const std::string &dir, const std::vector<std::string> &argv,
        const std::vector<std::string> &env);
    ~Pty();
    // Until `text` has appeared `times` times in the output.
    bool wait_for(const std::string &text, int timeout_ms, size_t times = 1);
    bool wait_exit(int timeout_ms);
    void send(const std::string &bytes);
    const std::string &output() const { return output_; }
    int pid() const { return child_; }
    int status() const { return status_; }                // as Result::status, once it has ended
    const struct rusage &usage() const { return usage_; } // once it has ended

  private:
    bool wait(const std::function<bool()> &done, int timeout_ms);
    int master_ = -1, child_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string output_;
    struct rusage usage_ = {};
};

} // namespace support

#endif
