#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>

namespace support {

void copy_file(const std::string &from, const std::string &to)
{
    std::ofstream(to, std::ios::binary) << std::ifstream(from, std::ios::binary).rdbuf();
    chmod(to.c_str(), 0755);
}

bool eventually(const std::function<bool()> &done, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
    result.status = out ? user_run::status_of(pclose(out)) : -1;
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

} // namespace support
