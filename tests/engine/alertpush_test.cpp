// The alert pusher against real alert managers started on loopback ports:
// a firing alert arrives with its labels and ends, two members of a cluster
// each get it once, and one manager that is down neither blocks the caller
// nor the manager beside it.
#include "alertpush.h"
#include "httppost.h"
#include "zortest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <functional>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zormon;

namespace {

using Labels = std::map<std::string, std::string>;
const char* const kBinary = "/usr/bin/prometheus-alertmanager";

using zortest::eventually;

int freePort()
{
    int port = 0;
    const int fd = zortest::loopbackSocket(SOCK_STREAM, &port);
    close(fd);
    return port;
}

/// An alert manager with its own data folder; killed and removed at the end.
class Manager {
public:
    explicit Manager(int clusterPort = 0, int peerPort = 0) : _port(freePort())
    {
        _root.write("am.yml", "route:\n  receiver: \"null\"\nreceivers:\n  - name: \"null\"\n");
        std::vector<std::string> args = {kBinary, "--web.listen-address=127.0.0.1:" + std::to_string(_port),
                                         "--storage.path=" + _root.path(), "--config.file=" + _root.at("am.yml"),
                                         "--cluster.listen-address=" +
                                             (clusterPort ? "127.0.0.1:" + std::to_string(clusterPort) : "")};
        if (peerPort != 0) {
            args.push_back("--cluster.peer=127.0.0.1:" + std::to_string(peerPort));
        }
        const std::string log = _root.at("am.log");
        _pid = fork();
        if (_pid == 0) {
            freopen(log.c_str(), "w", stdout);
            dup2(fileno(stdout), 2);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(kBinary, argv.data());
            _exit(127);
        }
    }
    ~Manager()
    {
        kill(_pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(_pid, nullptr, WNOHANG) == 0; ++i) {
            usleep(100000);
        }
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(_port); }
    std::string log() const { return zortest::readFile(_root.at("am.log")); }
    bool ready() const
    {
        return eventually([this] {
            const auto reply = httpRequest("GET", url(), "/-/ready", "", "", 2000);
            return reply && reply->status == 200;
        });
    }
    /// Members of its cluster that it sees, itself included.
    size_t peers() const
    {
        const auto reply = httpRequest("GET", url(), "/api/v2/status", "", "", 5000);
        if (!reply || reply->status != 200) {
            return 0;
        }
        const nlohmann::json status = nlohmann::json::parse(reply->body, nullptr, false);
        const nlohmann::json* peers = status.is_object() && status.contains("cluster") ? &status["cluster"] : nullptr;
        return peers && peers->contains("peers") && (*peers)["peers"].is_array() ? (*peers)["peers"].size() : 0;
    }
    /// The alerts it lists under that alertname (resolved ones are not listed).
    std::vector<nlohmann::json> alerts(const std::string& alertname) const
    {
        std::vector<nlohmann::json> found;
        const auto reply = httpRequest("GET", url(), "/api/v2/alerts", "", "", 5000);
        if (reply && reply->status == 200) {
            for (const nlohmann::json& alert : nlohmann::json::parse(reply->body, nullptr, false)) {
                if (alert.value("labels", nlohmann::json::object()).value("alertname", "") == alertname) {
                    found.push_back(alert);
                }
            }
        }
        return found;
    }

private:
    zortest::TempRoot _root;
    int _port;
    pid_t _pid = -1;
};

PushedAlert alert(const std::string& name)
{
    PushedAlert a;
    a.name = name;
    a.labels = {{"alertname", name}, {"variable", "cpu_load"}, {"severity", "warning"}};
    a.annotations = {{"summary", "cpu_load above 90"}, {"value", "97"}};
    a.startsAt = std::time(nullptr) - 30;
    return a;
}

/// The status of the manager at url (status() lists them in no promised order).
ManagerStatus statusOf(const AlertPusher& pusher, const std::string& url)
{
    for (const ManagerStatus& st : pusher.status()) {
        if (st.url == url) {
            return st;
        }
    }
    return {};
}

AlertPushSettings settings(std::vector<std::string> managers)
{
    AlertPushSettings s;
    s.managers = std::move(managers);
    s.timeoutMs = 3000;
    return s;
}

#define SKIP_WITHOUT_MANAGER()                                                                                    \
    if (access(kBinary, X_OK) != 0) {                                                                             \
        GTEST_SKIP() << kBinary << " is not installed";                                                           \
    }

} // namespace

TEST(AlertPush, ManagerUrls)
{
    EXPECT_EQ(checkManagerUrl("HTTP://am1:9093/").valueOr("?"), "http://am1:9093");
    EXPECT_EQ(checkManagerUrl("http://[::1]:9093/am//").valueOr("?"), "http://[::1]:9093/am");
    for (const char* bad : {"https://am1:9093", "http://am1", "http://:9093", "http://am1:0", "http://am1:99999",
                            "http://u@am1:9093", "http://am1:9093/?x", "am1:9093", "http://[::1/"}) {
        EXPECT_FALSE(checkManagerUrl(bad)) << bad;
    }
    EXPECT_NE(checkManagerUrl("https://am1:9093").error().find("https is not supported"), std::string::npos);
    EXPECT_EQ(rfc3339(1796637600), "2026-12-07T10:00:00Z");
}

TEST(AlertPush, FiringAlertArrivesAndEnds)
{
    SKIP_WITHOUT_MANAGER();
    Manager am;
    ASSERT_TRUE(am.ready()) << am.log();
    AlertPusher pusher([](const std::string&) {});
    AlertPushSettings s = settings({am.url() + "/"});
    s.generatorUrl = "http://nas1/monitor";
    pusher.configure(s);
    const PushedAlert a = alert("cpu_load above");
    pusher.firing(a);
    pusher.firing(a);

    ASSERT_TRUE(eventually([&] { return am.alerts(a.name).size() == 1; })) << am.log();
    const nlohmann::json got = am.alerts(a.name).at(0);
    EXPECT_EQ(got["labels"].get<Labels>(), a.labels);
    EXPECT_EQ(got["annotations"].get<Labels>(), a.annotations);
    EXPECT_EQ(got["startsAt"].get<std::string>().substr(0, 19), rfc3339(a.startsAt).substr(0, 19));
    EXPECT_EQ(got["generatorURL"], "http://nas1/monitor");
    EXPECT_EQ(got["status"]["state"], "active");

    pusher.ended(a.name, std::time(nullptr));
    EXPECT_TRUE(eventually([&] { return am.alerts(a.name).empty(); })) << am.log();
    ASSERT_TRUE(eventually([&] { return pusher.status().at(0).waiting == 0; }));
    const ManagerStatus st = pusher.status().at(0);
    EXPECT_EQ(st.url, am.url());
    EXPECT_TRUE(st.up);
    EXPECT_GE(st.pushes, 2u);
    EXPECT_EQ(st.failures, 0u);
    EXPECT_GT(st.lastSuccess, 0);
}

TEST(AlertPush, EachClusterMemberListsTheAlertOnce)
{
    SKIP_WITHOUT_MANAGER();
    const int gossip = freePort();
    Manager first(gossip);
    Manager second(freePort(), gossip);
    ASSERT_TRUE(first.ready()) << first.log();
    ASSERT_TRUE(second.ready()) << second.log();
    ASSERT_TRUE(eventually([&] { return first.peers() == 2 && second.peers() == 2; })) << second.log();
    AlertPusher pusher([](const std::string&) {});
    pusher.configure(settings({first.url(), second.url()}));
    const PushedAlert a = alert("disk_temp above");
    pusher.firing(a);
    for (const Manager* am : {&first, &second}) {
        EXPECT_TRUE(eventually([&] { return !am->alerts(a.name).empty(); })) << am->log();
        EXPECT_EQ(am->alerts(a.name).size(), 1u);
    }
}

TEST(AlertPush, ManagerDownNeitherBlocksNorDelaysTheOther)
{
    SKIP_WITHOUT_MANAGER();
    Manager live;
    ASSERT_TRUE(live.ready()) << live.log();
    const std::string dead = "http://127.0.0.1:" + std::to_string(freePort());
    std::mutex mutex;
    std::vector<std::string> lines;
    AlertPusher pusher([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    pusher.configure(settings({dead, live.url()}));
    const PushedAlert a = alert("fan_speed below");
    pusher.firing(a);

    EXPECT_TRUE(eventually([&] { return live.alerts(a.name).size() == 1; })) << live.log();
    ASSERT_TRUE(eventually([&] { return statusOf(pusher, dead).failures >= 3; }));
    const ManagerStatus down = statusOf(pusher, dead);
    EXPECT_EQ(down.url, dead);
    EXPECT_FALSE(down.up);
    EXPECT_NE(down.lastError.find("connect"), std::string::npos) << down.lastError;
    EXPECT_EQ(down.waiting, 1u);
    EXPECT_EQ(down.pushes, 0u);
    EXPECT_TRUE(statusOf(pusher, live.url()).up);

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(lines.size(), 1u) << "one line when it goes down, none per retry";
    EXPECT_EQ(lines[0].rfind("alert manager " + dead + " unreachable: ", 0), 0u) << lines[0];
}
