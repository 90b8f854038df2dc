// The monitor thread inside the real zorhostd: an entry committed through
// "zorhost --connect" is sampled by the daemon, and its alert reaches a real
// SMTP sink, snmptrapd, a UDP socket and the monitoring log as the log key
// serves it. What the thread does in process is tested in
// monitorthread_test.cpp; here only what the running daemon adds.
#include "zortest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using zortest::TempRoot;

namespace {

constexpr int kPatienceMs = 60000; // generous: the suite also runs under sanitizers on 2 busy cores
const std::string kMonitor = "/zor/public/system/monitor/";

bool eventually(const std::function<bool()>& done, int patienceMs = kPatienceMs)
{
    for (int waited = 0; waited < patienceMs; waited += 200) {
        if (done()) {
            return true;
        }
        poll(nullptr, 0, 200);
    }
    return done();
}

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

/// A program started in the background, its standard input a pipe that
/// stays open while it runs; killed and reaped at the end.
struct Child {
    pid_t pid = -1;
    int input = -1;
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            // A daemon whose stop hangs is a failure to report, not a test run that never ends.
            if (!eventually([&] { return waitpid(pid, nullptr, WNOHANG) == pid; })) {
                ADD_FAILURE() << "still running " << kPatienceMs << " ms after SIGTERM";
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        close(input);
    }
    void start(const std::string& workdir, const std::vector<std::string>& args)
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        input = ends[1];
        pid = fork();
        if (pid == 0) {
            if (dup2(ends[0], 0) != 0 || chdir(workdir.c_str()) != 0) {
                _exit(126);
            }
            setenv("TZ", "UTC", 1);
            std::vector<char*> argv;
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(ends[0]);
    }
};

/// A UDP socket on a loopback port, as the daemon's --udp target.
struct UdpSocket {
    int fd = -1;
    int port = 0;
    UdpSocket() { fd = zortest::loopbackSocket(SOCK_DGRAM, &port); }
    ~UdpSocket() { close(fd); }
    /// The datagrams that arrive within waitMs.
    std::vector<std::string> receive(int waitMs)
    {
        std::vector<std::string> got;
        char buffer[2048];
        for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, waitMs) == 1;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got.emplace_back(buffer, static_cast<size_t>(n));
            }
        }
        return got;
    }
};

class MonitorDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _root.write("etc/configs/monitor/Monitor.cfg",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config></monitor-config>\n");
        _root.mkdir("var/log/monitor");
        _root.mkdir("work");
    }

    /// zorhostd in the foreground, working directory root/work; true once it
    /// has said READY=1 on its notify socket.
    bool startDaemon(int udpPort)
    {
        const std::string notifyPath = _root.at("notify.sock");
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, notifyPath.c_str());
        if (bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(notify);
            return false;
        }
        setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
        _daemon.start(_root.at("work"), {zortest::binPath("zorhostd"), "--foreground", "--root", _root.path(), "--socket",
                                          socket(), "--log", _root.at("zorhostd.log"), "--interval", "2", "--udp",
                                          "127.0.0.1:" + std::to_string(udpPort)});
        unsetenv("NOTIFY_SOCKET");
        bool ready = false;
        for (int waited = 0; waited < kPatienceMs && !ready; waited += 100) {
            pollfd p{notify, POLLIN, 0};
            char text[512] = {};
            ready = poll(&p, 1, 100) == 1 && recv(notify, text, sizeof text - 1, 0) > 0 &&
                    std::strstr(text, "READY=1") != nullptr;
        }
        close(notify);
        return ready;
    }
    std::string socket() const { return _root.at("zorhostd.sock"); }
    std::string daemonLog() const
    {
        return zortest::fileExists(_root.at("zorhostd.log")) ? zortest::readFile(_root.at("zorhostd.log")) : "";
    }
    /// Runs requests in a session of the daemon; the replies, one JSON object each.
    zortest::HostRun connect(const std::string& script)
    {
        return zortest::runZorhost({"--connect", socket(), "--json", "--script", "-"}, script);
    }
    void commitEntry(const std::string& entry)
    {
        const zortest::HostRun run = connect("add " + kMonitor + "config/monitor-entry/ " + entry + "\ncommit\n");
        ASSERT_EQ(0, run.status) << run.out << run.err;
    }
    /// Today's monitoring log as the log key serves it; empty while there is none.
    std::string logThroughKey()
    {
        char day[16];
        const std::time_t now = std::time(nullptr);
        std::tm parts{};
        gmtime_r(&now, &parts);
        std::strftime(day, sizeof day, "d%Y%m%d", &parts);
        const zortest::HostRun run = connect(std::string("get ") + kMonitor + "monitorLog/" + day + "\n");
        return run.status == 0 && run.replies.size() == 1 ? run.replies[0].value("reply", "") : "";
    }
    /// The variable's file, replaced in one step so the thread never reads half a value.
    void setValue(const std::string& name, const std::string& value)
    {
        _root.write("data/" + name + ".new", value + "\n");
        ASSERT_EQ(0, rename(_root.at("data/" + name + ".new").c_str(), _root.at("data/" + name).c_str()));
    }

    TempRoot _root;
    Child _daemon;
};

const char* const kLevelEntry =
    "<monitor-entry variable=\"level\" log=\"true\"><frequency><seconds>1</seconds></frequency>"
    "<action-trigger value-type=\"instantaneous\" permanent=\"false\">"
    "<single-value comparison=\"greater-than\" value=\"50\"/><action max-frequency=\"3600\">"
    "<email>ops@example.test</email><trap/><udp/><log/></action></action-trigger></monitor-entry>";

} // namespace

TEST_F(MonitorDaemonTest, CommittedEntryAlertsEveryPeerOnceWithinItsRepeatLimit)
{
    _root.mkdir("mail");
    Child sink;
    sink.start(_root.path(), {"/usr/bin/python3", ZOR_SMTP_SINK, _root.at("mail")});
    ASSERT_TRUE(eventually([&] { return zortest::fileExists(_root.at("mail/port")); })) << "the aiosmtpd sink did not start";
    _root.write("work/configs/etc/quorvane/smtp.conf",
                "'127.0.0.1'\n" + zortest::readFile(_root.at("mail/port")) + "\n'monitor@example.test'\n");

    // snmptrapd with the shipped MIB, when it is installed and the daemon can send traps.
#ifdef ZOR_HAVE_NETSNMP
    const bool traps = access("/usr/sbin/snmptrapd", X_OK) == 0;
#else
    const bool traps = false;
#endif
    const std::string trapLog = _root.at("snmp/traps.log");
    const auto trapText = [&] { return zortest::fileExists(trapLog) ? zortest::readFile(trapLog) : ""; };
    Child trapd;
    if (traps) {
        int port = 0;
        close(zortest::loopbackSocket(SOCK_DGRAM, &port));
        _root.write("snmp/snmptrapd.conf", "disableAuthorization yes\n");
        setenv("SNMP_PERSISTENT_DIR", _root.at("snmp").c_str(), 1);
        trapd.start(_root.path(), {"/usr/sbin/snmptrapd", "-f", "-C", "-c", _root.at("snmp/snmptrapd.conf"), "-Lf",
                                   trapLog, "-M", "+" ZOR_MIB_DIR, "-m", "ZOR-MONITOR-MIB",
                                   "udp:127.0.0.1:" + std::to_string(port)});
        unsetenv("SNMP_PERSISTENT_DIR");
        ASSERT_TRUE(eventually([&] { return trapText().find("NET-SNMP version") != std::string::npos; }))
            << "snmptrapd did not start";
        _root.write("etc/configs/monitor/snmp.conf", "trap-sink 127.0.0.1:" + std::to_string(port) + " public\n");
    }

    UdpSocket udp;
    ASSERT_GE(udp.fd, 0);
    _root.write("etc/configs/monitor/variables.conf", "level file /data/level\n");
    setValue("level", "10");
    ASSERT_TRUE(startDaemon(udp.port)) << daemonLog();
    commitEntry(kLevelEntry);
    ASSERT_TRUE(eventually([&] { return logThroughKey().find(" sample level=10\n") != std::string::npos; }))
        << daemonLog();

    setValue("level", "90");
    std::vector<std::string> datagrams;
    ASSERT_TRUE(eventually([&] {
        for (const std::string& d : udp.receive(0)) {
            datagrams.push_back(d);
        }
        return !datagrams.empty();
    })) << daemonLog();
    EXPECT_EQ(std::vector<std::string>{"level=90 exceeds 50"}, datagrams);
    EXPECT_TRUE(eventually([&] { return logThroughKey().find(" alert level=90 exceeds 50\n") != std::string::npos; }));
    ASSERT_TRUE(eventually([&] { return zortest::fileExists(_root.at("mail/1.json")); })) << daemonLog();
    EXPECT_NE(std::string::npos, zortest::readFile(_root.at("mail/1.json")).find("Subject: Monitor alert: level=90 exceeds 50"));
    if (traps) {
        EXPECT_TRUE(eventually([&] { return trapText().find("level=90 exceeds 50") != std::string::npos; })) << trapText();
    }

    // Down and up again inside the repeat limit: sampled, but nothing more is sent.
    setValue("level", "20");
    ASSERT_TRUE(eventually([&] { return logThroughKey().find(" sample level=20\n") != std::string::npos; }));
    setValue("level", "95");
    ASSERT_TRUE(eventually([&] { return logThroughKey().find(" sample level=95\n") != std::string::npos; }));
    EXPECT_TRUE(udp.receive(3000).empty());
    EXPECT_FALSE(zortest::fileExists(_root.at("mail/2.json")));
    EXPECT_EQ(1u, count(logThroughKey(), " alert "));
    if (traps) {
        EXPECT_EQ(1u, count(trapText(), "zorMonitorAlert")) << trapText();
    } else {
        std::cout << "[  SKIPPED ] the trap part: snmptrapd is not installed (Debian package snmptrapd), "
                     "or the daemon was built without Net-SNMP (libsnmp-dev)\n";
    }
}

TEST_F(MonitorDaemonTest, HangingProgramFifoSilentMailServerAndUnwritableLogLeaveTheOtherEntrySampled)
{
    int mailPort = 0;
    const int silent = zortest::loopbackSocket(SOCK_STREAM, &mailPort);
    ASSERT_TRUE(silent >= 0 && listen(silent, 4) == 0); // accepts connections, never greets
    _root.write("work/configs/etc/quorvane/smtp.conf", "'127.0.0.1'\n" + std::to_string(mailPort) + "\n");
    rmdir(_root.at("var/log/monitor").c_str());
    _root.write("var/log/monitor", "a file where the folder should be");
    _root.write("bin/hang", "#!/bin/sh\nsleep 60\n");
    chmod(_root.at("bin/hang").c_str(), 0755);
    _root.mkdir("run");
    ASSERT_EQ(0, mkfifo(_root.at("run/pipe").c_str(), 0600)); // no writer ever: a blocking open would never return
    _root.write("etc/configs/monitor/variables.conf", "stuck program /bin/hang\nbeat file /data/beat\npipe file /run/pipe\n");
    setValue("beat", "1");
    UdpSocket udp;
    ASSERT_GE(udp.fd, 0);
    ASSERT_TRUE(startDaemon(udp.port)) << daemonLog();

    for (const char* variable : {"stuck", "pipe"}) {
        commitEntry("<monitor-entry variable=\"" + std::string(variable) +
                    "\" log=\"true\"><frequency><seconds>1</seconds></frequency></monitor-entry>");
    }
    commitEntry("<monitor-entry variable=\"beat\" log=\"true\"><frequency><seconds>1</seconds></frequency>"
                "<action-trigger value-type=\"instantaneous\" permanent=\"true\">"
                "<single-value comparison=\"greater-than\" value=\"0\"/><action max-frequency=\"0\">"
                "<email>ops@example.test</email><udp/><log/></action></action-trigger></monitor-entry>");
    std::vector<std::string> datagrams;
    EXPECT_TRUE(eventually([&] {
        for (const std::string& d : udp.receive(0)) {
            datagrams.push_back(d);
        }
        return datagrams.size() >= 3;
    })) << daemonLog();
    // A sample every second, not one per program timeout (5 s): the pass
    // never waits for the program, nor for the FIFO.
    datagrams.clear();
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < end;) {
        for (const std::string& d : udp.receive(100)) {
            datagrams.push_back(d);
        }
    }
    EXPECT_GE(datagrams.size(), 3u) << daemonLog();
    EXPECT_TRUE(eventually([&] {
        return daemonLog().find("monitor-thread: stuck: no value: " + _root.at("bin/hang") +
                                " did not finish within its 5 s timeout and was killed") != std::string::npos;
    })) << daemonLog();
    EXPECT_EQ(1u, count(daemonLog(), "stuck: no value")) << daemonLog();
    EXPECT_EQ(1u, count(daemonLog(), "pipe: no value: " + _root.at("run/pipe") + " has nothing to read")) << daemonLog();
    // Sessions are served meanwhile: the thread never holds the module.
    const zortest::HostRun run = connect("get " + kMonitor + "config/monitor-entry-count/\n");
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("3", run.replies.at(0).value("reply", ""));
    EXPECT_TRUE(eventually([&] { return daemonLog().find("cannot write the monitoring log") != std::string::npos; }));
    EXPECT_EQ(1u, count(daemonLog(), "cannot write the monitoring log")) << daemonLog();
    close(silent);
}
