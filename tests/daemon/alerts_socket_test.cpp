// Alerts, silences and acknowledgements of a real zorhostd's monitor thread,
// through "zorhost --connect" and through raw daemon command lines. The
// alerts' rules are tested on the thread itself; here what the socket and
// zorhost add: the commands, their author, their errors.
#include "daemonfixture.h"

#include <pwd.h>

using namespace daemontest;

namespace {

/// A root whose one entry watches a file variable holding level; above its
/// trigger's 500 the alert "level exceeds 500" fires within seconds.
struct AlertRoot : TempRoot {
    explicit AlertRoot(const std::string& level)
    {
        write("data/level", level + "\n");
        write("etc/configs/monitor/variables.conf", "level file /data/level\n");
        write("etc/configs/monitor/Monitor.cfg",
              "<monitor-config><monitor-entry variable=\"level\" log=\"true\"><frequency><seconds>1</seconds>"
              "</frequency><action-trigger value-type=\"instantaneous\" permanent=\"false\"><single-value "
              "comparison=\"greater-than\" value=\"500\"/><action max-frequency=\"3600\"><log/></action>"
              "</action-trigger></monitor-entry></monitor-config>\n");
        mkdir("var/log/monitor");
    }
};

const std::string kAlert = "level exceeds 500";

zortest::HostRun zorhost(const Daemon& daemon, std::vector<std::string> args)
{
    args.insert(args.begin(), {"--connect", daemon.socket});
    return zortest::runZorhost(args);
}

/// The alert as "alerts --json" shows it; null when it is not listed.
json alertOf(const Daemon& daemon)
{
    const zortest::HostRun run = zorhost(daemon, {"alerts", "--json"});
    const json reply = json::parse(run.out, nullptr, false);
    if (run.status == 0 && reply.is_object() && reply["alerts"].is_array()) {
        for (const json& alert : reply["alerts"]) {
            if (alert.value("name", "") == kAlert) {
                return alert;
            }
        }
    }
    return nullptr;
}

std::string thisUser()
{
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(geteuid());
}

} // namespace

TEST(AlertsSocketTest, AFiringAlertIsSilencedAndAcknowledgedByThisUser)
{
    AlertRoot root("900");
    Daemon daemon(root, {});
    ASSERT_TRUE(daemon.ready) << daemon.logText();
    ASSERT_TRUE(eventually([&] { return alertOf(daemon).value("state", "") == "firing"; })) << daemon.logText();
    const zortest::HostRun table = zorhost(daemon, {"alerts"});
    EXPECT_EQ(0, table.status) << table.err;
    EXPECT_EQ(0u, table.out.find("ALERT")) << table.out;
    EXPECT_NE(std::string::npos, table.out.find(kAlert + "  firing")) << table.out;

    const zortest::HostRun added = zorhost(daemon, {"silence", "add", "level", "--for", "2h", "--comment", "tank refill"});
    ASSERT_EQ(0, added.status) << added.err;
    EXPECT_EQ(0u, added.out.find("silence s1 of level until ")) << added.out;
    const zortest::HostRun listed = zorhost(daemon, {"silence", "list", "--json"});
    ASSERT_EQ(0, listed.status) << listed.err;
    const json silences = json::parse(listed.out)["silences"];
    ASSERT_EQ(1u, silences.size()) << listed.out;
    EXPECT_EQ("s1", silences[0]["id"]);
    EXPECT_EQ(thisUser(), silences[0]["author"]);
    EXPECT_EQ("tank refill", silences[0]["comment"]);
    EXPECT_GE(silences[0]["ends"].get<long>() - silences[0]["starts"].get<long>(), 7200);
    EXPECT_EQ("s1", alertOf(daemon)["silencedBy"]);

    // The words after ack make one matcher.
    const zortest::HostRun acked = zorhost(daemon, {"ack", "level", "exceeds", "500"});
    ASSERT_EQ(0, acked.status) << acked.err;
    EXPECT_EQ(kAlert + " acknowledged\n", acked.out);
    EXPECT_EQ(thisUser(), alertOf(daemon)["acknowledgedBy"]);
    EXPECT_NE(std::string::npos, zorhost(daemon, {"alerts"}).out.find("silenced by s1, acknowledged by " + thisUser()));

    EXPECT_EQ("silence s1 removed\n", zorhost(daemon, {"silence", "remove", "s1"}).out);
    EXPECT_EQ("no silences\n", zorhost(daemon, {"silence", "list"}).out);
    EXPECT_EQ("", alertOf(daemon)["silencedBy"]);
    EXPECT_EQ(0, daemon.stop());
}

TEST(AlertsSocketTest, RefusedCommandsSayWhy)
{
    AlertRoot root("100"); // nothing fires
    Daemon daemon(root, {});
    ASSERT_TRUE(daemon.ready) << daemon.logText();

    // Refused by the daemon: 1, its reason on standard error.
    const zortest::HostRun unknown = zorhost(daemon, {"silence", "remove", "s9"});
    EXPECT_EQ(1, unknown.status);
    EXPECT_NE(std::string::npos, unknown.err.find("zorhost: silence remove: no silence s9")) << unknown.err;
    const zortest::HostRun noAlert = zorhost(daemon, {"silence", "add", "no-such-variable", "--for", "1h", "--comment", "x"});
    EXPECT_EQ(1, noAlert.status);
    EXPECT_NE(std::string::npos, noAlert.err.find("no alert of the configuration matches")) << noAlert.err;

    // Usage errors: 2, and nothing reaches the daemon.
    const auto sessionsOpened = [&] {
        const std::string text = daemon.logText();
        size_t n = 0;
        for (size_t at = text.find(" opened"); at != std::string::npos; at = text.find(" opened", at + 1)) {
            ++n;
        }
        return n;
    };
    const size_t before = sessionsOpened();
    const zortest::HostRun badDuration = zorhost(daemon, {"silence", "add", "level", "--for", "2x", "--comment", "c"});
    EXPECT_EQ(2, badDuration.status);
    EXPECT_NE(std::string::npos, badDuration.err.find("--for: \"2x\" is not a duration")) << badDuration.err;
    const zortest::HostRun noComment = zorhost(daemon, {"silence", "add", "level", "--for", "1h"});
    EXPECT_EQ(2, noComment.status);
    const zortest::HostRun notConnected = zortest::runZorhost({"alerts"});
    EXPECT_EQ(2, notConnected.status);
    EXPECT_NE(std::string::npos, notConnected.err.find("alerts needs a running zorhostd: give --connect"))
        << notConnected.err;
    EXPECT_EQ(before, sessionsOpened()) << daemon.logText();

    // Raw command lines: each error answered, and the session goes on.
    RawClient client(daemon.socket);
    ASSERT_TRUE(client.connected);
    EXPECT_EQ("open", field(client.line(), "session"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"command\":\"alerts\"", "must be one JSON object"},
        {"{\"command\":\"reboot\"}", "unknown command \"reboot\""},
        {"{\"command\":\"silence-add\",\"matcher\":\"level\",\"for\":\"1h\"}", "needs \"comment\""},
        {"{\"command\":\"silence-add\",\"matcher\":\"level\",\"for\":\"soon\",\"comment\":\"c\"}", "is not a duration"},
        {"{\"command\":\"ack\",\"alert\":\"level\"}", "no firing alert level"},
    };
    for (const auto& [line, why] : cases) {
        client.send(line + "\n");
        const std::string answer = client.line();
        EXPECT_NE(std::string::npos, field(answer, "error").find(why)) << line << " -> " << answer;
    }
    client.send("{\"command\":\"silences\"}\nget " + kConfig + "monitor-entry-count/\n");
    EXPECT_EQ("{\"silences\":[]}", client.line());
    EXPECT_EQ("1", field(client.line(), "reply")) << "a request line after the commands still reaches the module";
    EXPECT_EQ(0, daemon.stop());
}
