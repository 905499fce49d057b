#include "support.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

static int status_of(int wait_status)
{
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

TempDir::TempDir()
{
    char name[] = "/tmp/lpt-test-XXXXXX";
    path = mkdtemp(name) ?: "/nonexistent";
}

// Also what a test left without write or search permission, as a user who
// is not root could not remove it otherwise.
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

void copy_file(const std::string &from, const std::string &to)
{
    std::ofstream(to, std::ios::binary) << std::ifstream(from, std::ios::binary).rdbuf();
    chmod(to.c_str(), 0755);
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A session of its own: the command never sees the terminal the suite may
// run from, and `timeout` stops all it starts as one group. The folder and
// command reach the shell through its environment, unquoted.
Result run(const std::string &dir, const std::string &command)
{
    setenv("SUPPORT_DIR", dir.c_str(), 1);
    setenv("SUPPORT_COMMAND", command.c_str(), 1);
    FILE *out = popen("cd \"$SUPPORT_DIR\" && exec setsid -w timeout -s KILL 10 /bin/sh -c "
                      "\"$SUPPORT_COMMAND\" </dev/null 2>&1",
                      "re");
    Result result{-1, ""};
    char buffer[4096];
    for (size_t n; out && (n = fread(buffer, 1, sizeof buffer, out)) > 0;) {
        result.output.append(buffer, n);
    }
    result.status = out ? status_of(pclose(out)) : -1;
    return result;
}

std::vector<Call> calls(const std::string &log, const std::string &what)
{
    std::vector<Call> result;
    std::istringstream lines(read_file(log));
    Call call;
    for (long long ns; lines >> call.what >> call.port >> call.value >> ns;) {
        call.seconds = static_cast<double>(ns) / 1e9;
        if (what.empty() || call.what == what) {
            result.push_back(call);
        }
    }
    return result;
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

} // namespace support
