#include "user_run.h"

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

namespace user_run {

int status_of(int wait_status)
{
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

TempDir::TempDir()
{
    char name[] = "/tmp/lpt-run-XXXXXX";
    path = mkdtemp(name) ?: "/nonexistent";
}

TempDir::~TempDir()
{
    if (system(("chmod -R u+rwX " + path + " 2>/dev/null; rm -rf " + path).c_str()) != 0) {
        perror(path.c_str());
    }
}

std::string read_file(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

Pty::Pty(const std::string &dir, const std::vector<std::string> &argv,
         const std::vector<std::string> &env)
{
    struct winsize size = {24, 80, 0, 0};
    child_ = forkpty(&master_, nullptr, nullptr, &size);
    if (child_ == 0) {
        std::vector<char *> args;
        for (const std::string &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        for (const std::string &pair : env) {
            putenv(const_cast<char *>(pair.c_str()));
        }
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

// Takes in what the terminal says until `done` or the time is up; the
// terminal closes when the program has ended.
bool Pty::wait(const std::function<bool()> &done, int timeout_ms)
{
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
            int status = 0;
            exited_ = wait4(child_, &status, 0, &usage_) == child_;
            status_ = status_of(status);
        }
    }
    return done();
}

bool Pty::wait_for(const std::string &text, int timeout_ms, size_t times)
{
    return wait([&] { return count(output_, text) >= times; }, timeout_ms);
}

bool Pty::wait_exit(int timeout_ms)
{
    return wait([&] { return exited_; }, timeout_ms);
}

void Pty::send(const std::string &bytes)
{
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        perror("write to terminal");
    }
}

} // namespace user_run
