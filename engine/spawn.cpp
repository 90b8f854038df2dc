#include "spawn.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zormon {

namespace {

/// Longest first line taken from a program; the rest is ignored.
constexpr size_t kMaxLine = 4096;

void closeQuietly(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
}

std::string durationText(int ms) { return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"; }

/// How long one wait of a run lasts at most when it can be cancelled.
constexpr int kCancelCheckMs = 100;

} // namespace


zor::Expected<std::string> runProgramFirstLine(const std::vector<std::string>& argv, int timeoutMs,
                                               const std::atomic<bool>* cancel)
{
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    if (argv.empty()) {
        return zor::Error{"no program named"};
    }
    // Everything the child needs is prepared before fork: between fork and
    // execv a threaded process may only make async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return zor::Error{std::string("cannot make a pipe: ") + std::strerror(errno)};
    }
    const pid_t child = fork();
    if (child < 0) {
        closeQuietly(out[0]);
        closeQuietly(out[1]);
        return zor::Error{std::string("cannot start a process: ") + std::strerror(errno)};
    }
    if (child == 0) {
        setpgid(0, 0); // its own group, so a timeout kills what it started too
        const int nothing = open("/dev/null", O_RDWR);
        dup2(nothing, 0);
        dup2(out[1], 1);
        dup2(nothing, 2);
        close_range(3, ~0U, 0); // no socket or file of the host leaks into the program
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(child, child); // also from here, so the group exists before any kill
    closeQuietly(out[1]);

    std::string output;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || cancelled()) {
            timedOut = true;
            break;
        }
        pollfd wait{out[0], POLLIN, 0};
        const int ready =
            poll(&wait, 1, static_cast<int>(cancel != nullptr ? std::min<long long>(left, kCancelCheckMs) : left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0 && cancel != nullptr) {
            continue; // the deadline and the cancel flag are looked at above
        }
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[1024];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // end of output: the program closed its standard output
        }
        if (output.size() < kMaxLine) {
            output.append(buffer, static_cast<size_t>(got));
        }
    }
    closeQuietly(out[0]);
    int status = 0;
    if (!timedOut) {
        // Output ended; the program still gets the rest of its time to exit.
        for (;;) {
            const pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child) {
                break;
            }
            if (done < 0 && errno != EINTR) {
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline || cancelled()) {
                timedOut = true;
                break;
            }
            usleep(5000);
        }
    }
    if (timedOut) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return zor::Error{argv[0] + (cancelled() ? std::string(" was stopped before it finished")
                                       : " did not finish within its " + durationText(timeoutMs) +
                                             " timeout and was killed")};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return zor::Error{argv[0] + (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                             : std::string(" was ended by a signal"))};
    }
    output.resize(std::min({output.find('\n'), output.size(), kMaxLine}));
    return output;
}

} // namespace zormon
