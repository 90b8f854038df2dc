// The monitor thread inside the real zorhostd: an entry committed through
// "zorhost --connect" is sampled by the daemon, and its alert reaches a real
// SMTP sink, a UDP socket and the monitoring log as the log key serves it.
// What the thread does in process is tested in monitorthread_test.cpp; here
// only what the running daemon adds.
#include "daemonfixture.h"

#include <ctime>

using namespace daemontest;

namespace {

const std::string kMonitor = "/zor/public/system/monitor/";

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

} // namespace

TEST(MonitorDaemonTest, CommittedEntryAlertsEveryPeerOnceAndAHangingProgramHoldsNoSession)
{
    TempRoot root;
    root.write("etc/configs/monitor/Monitor.cfg", "<monitor-config></monitor-config>\n");
    root.mkdir("var/log/monitor");
    root.mkdir("mail");
    std::unique_ptr<FILE, int (*)(FILE*)> sink(
        popen(("exec /usr/bin/python3 '" ZOR_SMTP_SINK "' '" + root.at("mail") + "'").c_str(), "w"), pclose);
    ASSERT_TRUE(eventually([&] { return zortest::fileExists(root.at("mail/port")); })) << "the aiosmtpd sink did not start";
    // The mail notifier finds its server under the daemon's working directory.
    root.write("work/configs/etc/quorvane/smtp.conf",
               "'127.0.0.1'\n" + zortest::readFile(root.at("mail/port")) + "\n'monitor@example.test'\n");
    root.write("bin/hang", "#!/bin/sh\nsleep 60\n");
    ASSERT_EQ(chmod(root.at("bin/hang").c_str(), 0755), 0);
    root.write("etc/configs/monitor/variables.conf", "level file /data/level\nstuck program /bin/hang\n");
    const auto setLevel = [&](const std::string& value) { // in one step: the thread never reads half a value
        root.write("data/level.new", value + "\n");
        ASSERT_EQ(0, rename(root.at("data/level.new").c_str(), root.at("data/level").c_str()));
    };
    setLevel("10");
    int udpPort = 0;
    const int udp = zortest::loopbackSocket(SOCK_DGRAM, &udpPort);
    ASSERT_GE(udp, 0);
    std::vector<std::string> datagrams;
    const auto receive = [&](int waitMs) {
        char buffer[2048];
        for (pollfd p{udp, POLLIN, 0}; poll(&p, 1, waitMs) == 1;) {
            const ssize_t n = recv(udp, buffer, sizeof buffer, 0);
            datagrams.emplace_back(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
        return !datagrams.empty();
    };

    setenv("TZ", "UTC", 1); // the day of the log below
    Daemon daemon(root, {"--interval", "2", "--udp", "127.0.0.1:" + std::to_string(udpPort)}, root.at("work"));
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    const auto connect = [&](const std::string& script) {
        return zortest::runZorhost({"--connect", daemon.socket, "--json", "--script", "-"}, script);
    };
    const auto logThroughKey = [&] {
        char day[16];
        const std::time_t now = std::time(nullptr);
        std::tm parts{};
        gmtime_r(&now, &parts);
        std::strftime(day, sizeof day, "d%Y%m%d", &parts);
        const zortest::HostRun run = connect("get " + kMonitor + "monitorLog/" + day + "\n");
        return run.status == 0 && run.replies.size() == 1 ? run.replies[0].value("reply", "") : "";
    };
    const auto logged = [&](const std::string& line) {
        return eventually([&] { return logThroughKey().find(line) != std::string::npos; });
    };
    const std::string add = "add " + kMonitor + "config/monitor-entry/ ";
    zortest::HostRun committed = connect(
        add + "<monitor-entry variable=\"stuck\" log=\"true\"><frequency><seconds>1</seconds></frequency>"
              "</monitor-entry>\n" +
        add + "<monitor-entry variable=\"level\" log=\"true\"><frequency><seconds>1</seconds></frequency>"
              "<action-trigger value-type=\"instantaneous\" permanent=\"false\"><single-value "
              "comparison=\"greater-than\" value=\"50\"/><action max-frequency=\"3600\">"
              "<email>ops@example.test</email><udp/><log/></action></action-trigger></monitor-entry>\ncommit\n");
    ASSERT_EQ(0, committed.status) << committed.out << committed.err;
    ASSERT_TRUE(logged(" sample level=10\n")) << daemon.logText();

    setLevel("90");
    ASSERT_TRUE(eventually([&] { return receive(0); })) << daemon.logText();
    EXPECT_TRUE(logged(" alert level=90 exceeds 50\n"));
    ASSERT_TRUE(eventually([&] { return zortest::fileExists(root.at("mail/1.json")); })) << daemon.logText();
    const json mail = json::parse(zortest::readFile(root.at("mail/1.json")));
    EXPECT_EQ(std::vector<std::string>{"ops@example.test"}, mail["rcpt_tos"].get<std::vector<std::string>>());
    EXPECT_NE(std::string::npos, mail["content"].get<std::string>().find("Subject: Monitor alert: level=90 exceeds 50"));
    EXPECT_TRUE(daemon.waitForLog("monitor-thread: mail sent to ops@example.test"));
    receive(1000);
    EXPECT_EQ(std::vector<std::string>{"level=90 exceeds 50"}, datagrams);
    EXPECT_EQ(1u, count(logThroughKey(), " alert "));

    // The program that never ends is killed at its timeout, said once in the
    // daemon's log; sessions were served all the while.
    EXPECT_TRUE(daemon.waitForLog("monitor-thread: stuck: no value: " + root.at("bin/hang") +
                                  " did not finish within its 5 s timeout and was killed"));
    const zortest::HostRun entries = connect("get " + kMonitor + "config/monitor-entry-count/\n");
    ASSERT_EQ(0, entries.status) << entries.err;
    EXPECT_EQ("2", entries.replies.at(0).value("reply", ""));
    EXPECT_EQ(1u, count(daemon.logText(), "stuck: no value")) << daemon.logText();
    EXPECT_EQ(daemon.stop(), 0);
    close(udp);
}
