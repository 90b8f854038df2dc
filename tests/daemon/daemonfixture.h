// A zorhostd for tests, started in the foreground on a temporary root and
// ready when its constructor returns; raw socket clients and small helpers.
#pragma once

#include "protocol.h"
#include "remotesession.h"
#include "replyformat.h"
#include "request.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <sstream>

using nlohmann::json;
using zortest::TempRoot;

namespace daemontest {

constexpr int kPatienceMs = 60000; // generous: the suite also runs under sanitizers on 2 busy cores

inline bool eventually(const std::function<bool()>& done)
{
    for (int waited = 0; waited < kPatienceMs; waited += 50) {
        if (done()) {
            return true;
        }
        poll(nullptr, 0, 50);
    }
    return done();
}

const std::string kConfig = "/zor/public/system/monitor/config/";
const std::string kEntryXml = "<monitor-entry variable=\"disk-free\" log=\"false\"><frequency/></monitor-entry>";

class Daemon {
public:
    Daemon(const TempRoot& root, std::vector<std::string> args, const std::string& workdir = "") : _root(root)
    {
        socket = root.at("run/zorhost/zorhost.sock");
        std::string notifyPath = root.at("notify.sock");
        int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, notifyPath.c_str());
        unlink(notifyPath.c_str());
        if (bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind the notify socket");
        }
        args.insert(args.begin(), {"--foreground", "--root", root.path(), "--log", log()});
        pid = fork();
        if (pid == 0) {
            setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
            if (!workdir.empty() && chdir(workdir.c_str()) != 0) {
                _exit(126);
            }
            std::string exe = zortest::binPath("zorhostd");
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (std::string& a : args) {
                argv.push_back(&a[0]);
            }
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        // Readiness comes as READY=1 on the notify socket, as systemd gets it.
        for (int waited = 0; waited < kPatienceMs && !ready; waited += 100) {
            pollfd p{notify, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                char text[512] = {};
                ready = recv(notify, text, sizeof text - 1, 0) > 0 && std::strstr(text, "READY=1") != nullptr;
            } else if (waitpid(pid, &_status, WNOHANG) == pid) {
                pid = -1;
                break;
            }
        }
        close(notify);
    }
    ~Daemon()
    {
        if (pid > 0) {
            stop(SIGKILL);
        }
    }
    /// Sends sig and returns the exit status (128+signal when killed).
    int stop(int sig = SIGTERM)
    {
        if (pid > 0) {
            kill(pid, sig);
            waitpid(pid, &_status, 0);
            pid = -1;
        }
        return WIFEXITED(_status) ? WEXITSTATUS(_status) : 128 + WTERMSIG(_status);
    }
    std::string log() const { return _root.at("zorhostd.log"); }
    std::string logText() const { return zortest::fileExists(log()) ? zortest::readFile(log()) : ""; }
    bool waitForLog(const std::string& text) const
    {
        return eventually([&] { return logText().find(text) != std::string::npos; });
    }

    std::string socket;
    pid_t pid = -1;
    bool ready = false;

private:
    const TempRoot& _root;
    int _status = 0;
};

/// A client that speaks raw lines, for what the client library never sends.
class RawClient {
public:
    explicit RawClient(const std::string& path)
    {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(fd); }
    void send(const std::string& bytes) { ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size()); }
    /// The next line, or "EOF" when the daemon closed the connection.
    std::string line()
    {
        for (size_t scanned = 0;;) {
            size_t end = _pending.find('\n', scanned);
            if (end != std::string::npos) {
                std::string text = _pending.substr(0, end);
                _pending.erase(0, end + 1);
                return text;
            }
            scanned = _pending.size();
            pollfd p{fd, POLLIN, 0};
            char chunk[65536];
            ssize_t n = poll(&p, 1, kPatienceMs) == 1 ? recv(fd, chunk, sizeof chunk, 0) : -1;
            if (n <= 0) {
                return n == 0 ? "EOF" : "no answer";
            }
            _pending.append(chunk, static_cast<size_t>(n));
        }
    }
    int fd;
    bool connected;

private:
    std::string _pending;
};

/// Opens the session; a failure carries the daemon's reason.
inline ::testing::AssertionResult opens(RemoteSession& session)
{
    zor::Expected<void> result = session.open();
    return result ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << result.error();
}

/// A root holding the example configuration, for a daemon with the real module.
struct ExampleRoot : TempRoot {
    ExampleRoot() { copyData("monitoring/example-Monitor.cfg", "etc/configs/monitor/Monitor.cfg"); }
    std::string config() const { return at("etc/configs/monitor/Monitor.cfg"); }
    static std::vector<std::string> module() { return {"--module", zortest::binPath("libmonitor.so")}; }
};

inline std::string run(RemoteSession& session, const std::string& scriptLine)
{
    zor::Expected<std::vector<HostRequest>> requests = parseScript(scriptLine);
    EXPECT_TRUE(requests) << requests.error();
    return !requests || requests->empty() ? "" : jsonLine((*requests)[0], session.run((*requests)[0]));
}

inline std::string field(const std::string& jsonText, const char* name)
{
    json j = json::parse(jsonText);
    return j[name].is_string() ? j[name].get<std::string>() : j[name].dump();
}

/// Connects from a child running as uid 65534 with the given primary group
/// and no others; returns the daemon's first line (or why there was none).
/// With holder, the child keeps its connection until it is killed.
inline std::string firstLineAs(const std::string& socketPath, gid_t gid, pid_t* holder = nullptr)
{
    int out[2];
    if (pipe(out) != 0) {
        return "no pipe";
    }
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        std::unique_ptr<RawClient> client;
        std::string line = "cannot change user";
        if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(65534) == 0) {
            client = std::make_unique<RawClient>(socketPath);
            line = client->line();
        }
        bool written = write(out[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
        close(out[1]);
        if (holder != nullptr) {
            pause();
        }
        _exit(written ? 0 : 1);
    }
    close(out[1]);
    std::string line;
    char chunk[512];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
        line.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    if (holder != nullptr) {
        *holder = child;
    } else {
        waitpid(child, nullptr, 0);
    }
    return line;
}

} // namespace daemontest
