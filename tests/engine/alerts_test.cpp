// Alerts with a life, on a virtual clock: firing and resolved with their
// notices, pending under hold, flapping, silences and acknowledgements, and
// all of it taken up again from the state file by a new thread.
#include "alertbook.h"
#include "monitorthread.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace zormon;

namespace {

std::time_t gNow = 0;

class VirtualClock : public MonitorClock {
public:
    std::time_t now() const override { return gNow; }
};

/// Entries on variable "a", sampled every second, each trigger over 50 with
/// the given action body (max-frequency 0: the repeat gate lets all through).
std::string config(const std::string& action, const std::string& attributes = "", const std::string& gate = "0")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config><monitor-entry variable=\"a\" log=\"false\">"
           "<frequency><seconds>1</seconds></frequency><action-trigger " +
           attributes + "><single-value comparison=\"greater-than\" value=\"50\"/><action max-frequency=\"" + gate +
           "\">" + action + "</action></action-trigger></monitor-entry></monitor-config>\n";
}

class AlertsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZOR_ROOT", _root.path().c_str(), 1);
        setenv("TZ", "UTC", 1);
        tzset();
        gNow = 1772445600; // 2026-03-02 10:00:00 UTC
    }
    void TearDown() override { unsetenv("ZOR_ROOT"); }

    std::unique_ptr<MonitorThread> thread()
    {
        MonitorThreadOptions o;
        o.clock = std::make_shared<VirtualClock>();
        o.systemRoot = _root.at("machine");
        o.allowDrasticCommands = false;
        o.hostLog = [this](const std::string& text) { _host += text + "\n"; };
        o.udpPost = [this](const char* text) {
            _udp.push_back(text);
            return 0;
        };
        o.samplers["a"] = [this](std::string* value) {
            *value = _value;
            return true;
        };
        return std::make_unique<MonitorThread>(o);
    }
    /// One sample of value at the next second.
    void sample(MonitorThread& t, const std::string& value)
    {
        _value = value;
        ++gNow;
        t.tick();
    }
    std::string log() const
    {
        const std::string path = _root.at("var/log/monitor/" + dayLogName(gNow));
        return zortest::fileExists(path) ? zortest::readFile(path) : "";
    }
    static AlertView only(const MonitorThread& t)
    {
        const std::vector<AlertView> all = t.alerts();
        EXPECT_EQ(1u, all.size());
        return all.empty() ? AlertView{} : all.front();
    }

    zortest::TempRoot _root;
    std::string _value;
    std::vector<std::string> _udp;
    std::string _host;
};

} // namespace

TEST_F(AlertsTest, FiresResolvesAndIsTakenUpAfterARestart)
{
    _root.write("etc/configs/monitor/Monitor.cfg", config("<log/><udp/>"));
    _root.write("etc/configs/monitor/alerting.conf", "resolved log udp  # the datagram too\n");
    auto t = thread();
    sample(*t, "10");
    // Listed from the configuration with the value it looked at, though
    // the book keeps nothing of an alert that never left inactive.
    EXPECT_EQ("a exceeds 50", only(*t).name);
    EXPECT_EQ(AlertState::inactive, only(*t).alert.state);
    EXPECT_EQ("10", only(*t).alert.value);
    sample(*t, "60");
    const std::time_t fired = gNow;
    sample(*t, "70"); // still firing: an edge trigger says nothing more
    AlertView v = only(*t);
    EXPECT_EQ(AlertState::firing, v.alert.state);
    EXPECT_EQ(fired, v.alert.since);
    EXPECT_EQ("70", v.alert.value);
    EXPECT_EQ(1u, v.alert.notifications);

    // The thread goes away while the alert fires; the next one takes it up
    // and does not tell it again.
    t.reset();
    t = thread();
    sample(*t, "80");
    EXPECT_EQ(AlertState::firing, only(*t).alert.state);
    EXPECT_EQ(fired, only(*t).alert.since);
    sample(*t, "20");
    EXPECT_EQ(AlertState::resolved, only(*t).alert.state);
    EXPECT_EQ("2026-03-02 10:00:02 alert a=60 exceeds 50\n"
              "2026-03-02 10:00:05 resolved a=20 exceeds 50\n",
              log());
    EXPECT_EQ((std::vector<std::string>{"a=60 exceeds 50", "resolved a=20 exceeds 50"}), _udp);

    // A changed threshold is another alert: the old one is dropped.
    _root.write("etc/configs/monitor/Monitor.cfg",
                std::string(config("<log/>")).replace(config("<log/>").find("\"50\""), 4, "\"90\""));
    t->configurationChanged();
    sample(*t, "20");
    EXPECT_EQ("a exceeds 90", only(*t).name);
}

TEST_F(AlertsTest, RecoveryOfAnAlertNeverSentIsNotToldEither)
{
    // A day's repeat gate: the second firing of the same message is held back.
    _root.write("etc/configs/monitor/Monitor.cfg", config("<log/><udp/>", "", "86400"));
    _root.write("etc/configs/monitor/alerting.conf", "resolved udp\n");
    auto t = thread();
    sample(*t, "60");
    sample(*t, "10");
    sample(*t, "60");
    EXPECT_EQ(AlertState::firing, only(*t).alert.state);
    EXPECT_EQ(1u, only(*t).alert.suppressed);
    sample(*t, "10");
    EXPECT_EQ((std::vector<std::string>{"a=60 exceeds 50", "resolved a=10 exceeds 50"}), _udp);
    EXPECT_EQ(1ul, (t->status().notifications[{"udp", "held"}]));
}

TEST_F(AlertsTest, HoldMakesAnAlertPendingAndFlappingQuietsIt)
{
    _root.write("etc/configs/monitor/Monitor.cfg", config("<udp/>"));
    _root.write("etc/configs/monitor/alerting.conf", "hold a 3\nflap 2 5\nhold b x\n");
    auto t = thread();
    EXPECT_NE(std::string::npos, _host.find("alerting.conf line 3: expected \"hold VARIABLE N\""));
    sample(*t, "60");
    sample(*t, "60");
    EXPECT_EQ(AlertState::pending, only(*t).alert.state);
    sample(*t, "10"); // the first false sample starts the count again
    EXPECT_EQ(AlertState::inactive, only(*t).alert.state);
    sample(*t, "60");
    sample(*t, "60");
    EXPECT_TRUE(_udp.empty());
    sample(*t, "60");
    EXPECT_EQ(AlertState::firing, only(*t).alert.state);
    EXPECT_EQ(1u, _udp.size());

    // Resolved (change 2), firing again after the hold (change 3: flapping,
    // still told), then nothing until it stays put for five minutes.
    sample(*t, "10");
    for (int i = 0; i < 3; ++i) {
        sample(*t, "60");
    }
    EXPECT_TRUE(only(*t).alert.flapping);
    EXPECT_EQ(2u, _udp.size());
    sample(*t, "10");
    for (int i = 0; i < 3; ++i) {
        sample(*t, "60");
    }
    EXPECT_EQ(2u, _udp.size());
    EXPECT_EQ(1ul, (t->status().notifications[{"udp", "flapping"}]));
    gNow += 300;
    sample(*t, "60");
    EXPECT_FALSE(only(*t).alert.flapping);
}

TEST_F(AlertsTest, SilencesAndAcknowledgementsQuietNoticesButNotTheLog)
{
    _root.write("etc/configs/monitor/Monitor.cfg", config("<log/><udp/>", "permanent=\"true\""));
    auto t = thread();
    sample(*t, "10"); // the configuration is taken up
    EXPECT_FALSE(t->addSilence("nosuch", 3600, "work", "ann"));
    EXPECT_FALSE(t->addSilence("a exceeds 51", 3600, "work", "ann"));
    EXPECT_FALSE(t->addSilence("a", 3600, " ", "ann"));
    zor::Expected<Silence> s = t->addSilence("a exceeds 50", 3600, "disk swap", "ann");
    ASSERT_TRUE(s) << s.error();
    EXPECT_EQ("s1", s->id);
    sample(*t, "60");
    EXPECT_EQ("s1", only(*t).silencedBy);
    EXPECT_TRUE(_udp.empty());
    EXPECT_NE(std::string::npos, log().find("alert a=60 exceeds 50 (silenced by s1)\n"));

    // The silence is in the state file: a new thread keeps it, and its id.
    t.reset();
    t = thread();
    ASSERT_EQ(1u, t->silences().size());
    EXPECT_EQ("ann", t->silences().front().author);
    EXPECT_FALSE(t->removeSilence("s9"));
    ASSERT_TRUE(t->removeSilence("s1"));
    sample(*t, "61");
    EXPECT_EQ(1u, _udp.size()); // a permanent trigger tells each sample

    EXPECT_FALSE(t->acknowledge("b", "bob"));
    zor::Expected<std::string> acked = t->acknowledge("a", "bob");
    ASSERT_TRUE(acked) << acked.error();
    EXPECT_EQ("a exceeds 50", *acked);
    sample(*t, "62");
    EXPECT_EQ(1u, _udp.size());
    EXPECT_NE(std::string::npos, log().find("alert a=62 exceeds 50 (acknowledged by bob)\n"));
    sample(*t, "10"); // resolved: the acknowledgement ends with it
    sample(*t, "63");
    EXPECT_EQ(2u, _udp.size());

    // A silence ends by itself.
    ASSERT_TRUE(t->addSilence("a", 60, "short", "ann"));
    EXPECT_EQ("s2", t->silences().front().id);
    gNow += 61;
    t->tick();
    EXPECT_TRUE(t->silences().empty());
}

TEST(AlertBookTest, DurationsMatchersAndStateFiles)
{
    EXPECT_EQ(5400, *parseDuration("1h30m"));
    EXPECT_EQ(86400, *parseDuration("1d"));
    for (const char* bad : {"", "10", "5x", "30s", "400d", "h"}) {
        EXPECT_FALSE(parseDuration(bad)) << bad;
    }
    EXPECT_EQ("1h30m", formatDuration(5400));
    const AlertMatcher m = *parseMatcher("  load-average exceeds 8 ");
    EXPECT_EQ("load-average", m.variable);
    EXPECT_EQ("exceeds 8", m.condition);

    AlertBook book;
    book.at("a", "exceeds 1").state = AlertState::firing;
    book.addSilence({"a", ""}, 100, 60, "c", "u");
    AlertBook copy;
    ASSERT_TRUE(copy.load(book.serialize()));
    EXPECT_EQ(book.serialize(), copy.serialize());
    EXPECT_FALSE(copy.load("{\"version\":1}"));
    EXPECT_FALSE(copy.load("not json"));
    EXPECT_EQ(book.serialize(), copy.serialize()); // a bad text changes nothing
}
