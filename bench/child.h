// What the benchmark needs to run the built programs as a user does: a
// scratch folder and a program on a terminal of its own.
#ifndef BENCH_CHILD_H
#define BENCH_CHILD_H

#include <string>
#include <sys/resource.h>
#include <vector>

namespace bench {

std::string read_file(const std::string &path);

// Removed with all it holds when it goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// A program on a fresh pseudo-terminal that is its controlling terminal,
// started in `dir`; killed if it has not ended when this goes.
class Pty {
  public:
    Pty(const std::string &dir, const std::vector<std::string> &argv);
    ~Pty();
    bool wait_for(const std::string &text, int timeout_ms); // in its output
    bool wait_exit(int timeout_ms);
    void send(const std::string &bytes);
    int pid() const { return child_; }
    const struct rusage &usage() const { return usage_; } // once it has ended

  private:
    bool wait(const std::string *text, int timeout_ms);
    int master_ = -1, child_ = -1;
    bool exited_ = false;
    std::string output_;
    struct rusage usage_ = {};
};

} // namespace bench

#endif
