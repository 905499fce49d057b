#include "child.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TempDir::TempDir()
{
    char name[] = "/tmp/lpt-bench-XXXXXX";
    path = mkdtemp(name) ?: "/nonexistent";
}

TempDir::~TempDir()
{
    if (system(("rm -rf " + path).c_str()) != 0) {
        perror(path.c_str());
    }
}

Pty::Pty(const std::string &dir, const std::vector<std::string> &argv)
{
    struct winsize size = {24, 80, 0, 0};
    child_ = forkpty(&master_, nullptr, nullptr, &size);
    if (child_ == 0) {
        std::vector<char *> args;
        for (const std::string &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (chdir(dir.c_str()) == 0) {
            execv(args[0], args.data());
        }
        _exit(127);
    }
}

Pty::~Pty()
{
    if (!exited_) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
    close(master_);
}

// Takes in what the terminal says until `text` has shown (or, with none,
// the program has ended) or the time is up; the terminal closes when the
// program has ended.
bool Pty::wait(const std::string *text, int timeout_ms)
{
    auto done = [&] { return text ? output_.find(*text) != std::string::npos : exited_; };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    struct pollfd ready = {master_, POLLIN, 0};
    char buffer[4096];
    while (!done() && !exited_ && std::chrono::steady_clock::now() < deadline) {
        if (poll(&ready, 1, 20) != 1) {
            continue;
        }
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            output_.append(buffer, static_cast<size_t>(n));
        } else {
            exited_ = wait4(child_, nullptr, 0, &usage_) == child_;
        }
    }
    return done();
}

bool Pty::wait_for(const std::string &text, int timeout_ms)
{
    return wait(&text, timeout_ms);
}

bool Pty::wait_exit(int timeout_ms)
{
    return wait(nullptr, timeout_ms);
}

void Pty::send(const std::string &bytes)
{
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        perror("write to terminal");
    }
}

} // namespace bench
