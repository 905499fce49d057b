// Running the built programs as a user does, for the tests and the
// benchmark: a scratch folder, and a program on a terminal of its own.
#ifndef LPT_USER_RUN_H
#define LPT_USER_RUN_H

#include <functional>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace user_run {

// Removed with all it holds when it goes, also what was left without write
// or search permission.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
size_t count(const std::string &text, const std::string &part);
// An exit code, or 128 + the signal that ended the program.
int status_of(int wait_status);

// A program on a fresh pseudo-terminal that is its controlling terminal,
// started in `dir` with `env` added; killed if it has not ended when this
// goes.
class Pty {
  public:
    Pty(const std::string &dir, const std::vector<std::string> &argv,
        const std::vector<std::string> &env = {});
    ~Pty();
    // Until `text` has appeared `times` times in the output.
    bool wait_for(const std::string &text, int timeout_ms, size_t times = 1);
    bool wait_exit(int timeout_ms);
    void send(const std::string &bytes);
    const std::string &output() const { return output_; }
    int pid() const { return child_; }
    int status() const { return status_; }                // once it has ended
    const struct rusage &usage() const { return usage_; } // once it has ended

  private:
    bool wait(const std::function<bool()> &done, int timeout_ms);
    int master_ = -1, child_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string output_;
    struct rusage usage_ = {};
};

} // namespace user_run

#endif
