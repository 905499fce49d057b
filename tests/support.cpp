#include "support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int decode(int wait_status)
{
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

[[noreturn]] void exec_in(const std::string &dir, const std::vector<std::string> &env,
                          const std::vector<std::string> &argv)
{
    if (chdir(dir.c_str()) != 0) {
        _exit(126);
    }
    for (const std::string &pair : env) {
        putenv(strdup(pair.c_str()));
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

TempDir::TempDir()
{
    char name[] = "/tmp/lpt-test-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = name;
}

TempDir::~TempDir()
{
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) {
        perror("rm");
    }
}

void copy_file(const std::string &from, const std::string &to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    chmod(to.c_str(), 0755);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

Result run(const std::vector<std::string> &argv, const std::string &dir,
           const std::vector<std::string> &env, const std::string *input, int timeout_ms)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string in_path = input ? dir + "/stdin.txt" : "/dev/null";
    if (input) {
        write_file(in_path, *input);
    }
    pid_t child = fork();
    if (child == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        exec_in(dir, env, argv);
    }
    close(out[1]);
    Result result{-1, ""};
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    for (;;) {
        struct pollfd ready = {out[0], POLLIN, 0};
        if (poll(&ready, 1, remaining_ms(deadline)) <= 0) {
            kill(child, SIGKILL);
            break;
        }
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (result.status == -1 && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
        result.status = decode(status);
    }
    return result;
}

std::vector<Call> read_calls(const std::string &log)
{
    std::vector<Call> calls;
    std::istringstream lines(read_file(log));
    Call call;
    long long ns;
    while (lines >> call.what >> call.port >> call.value >> ns) {
        call.seconds = static_cast<double>(ns) / 1e9;
        calls.push_back(call);
    }
    return calls;
}

std::vector<Call> port_writes(const std::string &log)
{
    std::vector<Call> writes;
    for (const Call &call : read_calls(log)) {
        if (call.what == "out") {
            writes.push_back(call);
        }
    }
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

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

Pty::Pty(const std::string &dir, const std::string &script, const std::vector<std::string> &env)
    : Pty(dir, std::vector<std::string>{"/bin/sh", "-c", script}, env)
{
}

Pty::Pty(const std::string &dir, const std::vector<std::string> &argv,
         const std::vector<std::string> &env)
{
    struct winsize size = {24, 80, 0, 0};
    child_ = forkpty(&master_, nullptr, nullptr, &size);
    if (child_ < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (child_ == 0) {
        exec_in(dir, env, argv);
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty()
{
    if (!exited_) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
    close(master_);
}

void Pty::pump(int timeout_ms)
{
    struct pollfd ready = {master_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) {
        return;
    }
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
        output_.append(buffer, static_cast<size_t>(n));
    } else if (!exited_) {
        // The terminal closed: everything has been said.
        int status;
        exited_ = wait4(child_, &status, 0, &usage_) == child_;
    }
}

bool Pty::wait_for(const std::string &text, int timeout_ms, size_t times)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count(output_, text) < times && !exited_) {
        if (remaining_ms(deadline) == 0) {
            return false;
        }
        pump(remaining_ms(deadline));
    }
    return count(output_, text) >= times;
}

void Pty::send(const std::string &bytes)
{
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("write to terminal failed");
    }
}

bool Pty::wait_exit(int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!exited_ && remaining_ms(deadline) > 0) {
        pump(remaining_ms(deadline));
    }
    return exited_;
}

} // namespace support
