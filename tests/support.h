// Helpers for running the built programs the way a user does and reading
// what the port library test double recorded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace support {

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void copy_file(const std::string &from, const std::string &to);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

struct Result {
    int status;         // exit code, 128 + signal, or -1 when it had to be killed
    std::string output; // standard output and standard error, interleaved
};

// Runs argv[0] in `dir` with `env` added; standard input reads `input`
// (a file in dir), or /dev/null when input is null.
Result run(const std::vector<std::string> &argv, const std::string &dir,
           const std::vector<std::string> &env, const std::string *input, int timeout_ms = 10000);

struct Call {
    std::string what; // load, inp, out, unload
    int port;
    int value;
    double seconds; // monotonic
};
std::vector<Call> read_calls(const std::string &log);
std::vector<Call> port_writes(const std::string &log);
std::vector<int> values(const std::vector<Call> &writes);

// A shell script on a fresh pseudo-terminal that is its controlling terminal,
// as a person runs a program in a terminal window.
class Pty {
  public:
    Pty(const std::string &dir, const std::string &script, const std::vector<std::string> &env);
    // The program itself, with no shell before it.
    Pty(const std::string &dir, const std::vector<std::string> &argv,
        const std::vector<std::string> &env);
    ~Pty();
    // Until `text` has appeared `times` times in the output.
    bool wait_for(const std::string &text, int timeout_ms, size_t times = 1);
    void send(const std::string &bytes);
    bool wait_exit(int timeout_ms);
    const std::string &output() const { return output_; }
    pid_t pid() const { return child_; }
    // What the child used, once it has ended.
    const struct rusage &usage() const { return usage_; }

  private:
    void pump(int timeout_ms);
    int master_ = -1;
    pid_t child_ = -1;
    bool exited_ = false;
    std::string output_;
    struct rusage usage_ = {};
};

size_t count(const std::string &text, const std::string &part);

} // namespace support

#endif
