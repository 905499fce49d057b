#include "support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

TempDir::TempDir()
{
    char name[] = "/tmp/lpt-test-XXXXXX";
    path = mkdtemp(name) ?: "/nonexistent";
}

TempDir::~TempDir()
{
    run("/", "rm -rf '" + path + "'");
}

std::string read_file(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

void copy_file(const std::string &from, const std::string &to)
{
    write_file(to, read_file(from));
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

Result run(const std::string &dir, const std::string &command)
{
    write_file(dir + "/.command", command + "\n");
    FILE *pipe = popen(("cd '" + dir + "' && timeout -s KILL 10 sh .command 2>&1").c_str(), "r");
    Result result{0, ""};
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, n);
    }
    result.status = WEXITSTATUS(pclose(pipe));
    return result;
}

std::vector<Call> calls(const std::string &log)
{
    std::vector<Call> result;
    std::istringstream lines(read_file(log));
    Call call;
    for (long long ns; lines >> call.what >> call.port >> call.value >> ns;) {
        call.seconds = static_cast<double>(ns) / 1e9;
        result.push_back(call);
    }
    return result;
}

std::vector<Call> port_writes(const std::string &log)
{
    std::vector<Call> all = calls(log), writes;
    std::copy_if(all.begin(), all.end(), std::back_inserter(writes),
                 [](const Call &call) { return call.what == "out"; });
    return writes;
}

std::vector<int> values(const std::vector<Call> &writes)
{
    std::vector<int> result;
    for (const Call &call : writes) {
        result.push_back(call.value);
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
            exited_ = wait4(child_, nullptr, 0, &usage_) == child_;
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
