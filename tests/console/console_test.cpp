// The console's own logic without a server: its reading and writing of the
// module's entry and trigger texts, the replay of a trigger over logged
// samples with the repeat limit applied at each sample's time, the decoding
// of form bodies and the lockout after failed logins.
#include "configtext.h"
#include "consoleauth.h"
#include "httpendpoint.h"
#include "monitorlogs.h"
#include "triggertry.h"

#include "monitoring.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace console;

TEST(ConsoleText, EntriesSurviveReadAndWriteAsTheModelRendersThem)
{
    MonitoringConfiguration::initialize();
    const char* const texts[] = {
        "<monitor-entry variable=\"load-average\" log=\"true\"><frequency><seconds>60</seconds></frequency>"
        "<action-trigger value-type=\"average\" permanent=\"false\"><single-value comparison=\"greater-than\" "
        "value=\"8\"/><action max-frequency=\"1800\"><email>a@example.com</email><email>b@example.com</email><trap/>"
        "<log/></action></action-trigger></monitor-entry>",
        "<monitor-entry variable=\"process-count\" log=\"false\"><frequency><weekly every=\"2\" day-of-week=\"fri\">"
        "<time-of-day hour=\"6\" min=\"05\"/></weekly></frequency><action-trigger value-type=\"instantaneous\" "
        "permanent=\"true\"><interval-value low-value=\"10\" high-value=\"20\" inside-outside-range=\"outside\"/>"
        "<action max-frequency=\"0\"><udp/><shutdown/><power-off-drive/></action></action-trigger></monitor-entry>",
        // Names and values that need escaping, with a '>' left as it is inside an attribute.
        "<monitor-entry variable=\"&lt;script&gt;&amp;&quot;x'>\" log=\"true\"><frequency><daily every=\"1\">"
        "<time-of-day hour=\"23\" min=\"59\"/></daily></frequency><action-trigger value-type=\"instantaneous\" "
        "permanent=\"false\"><single-value comparison=\"equals\" value=\"a &lt;b&gt; &amp; c\"/><action "
        "max-frequency=\"5\"><log/></action></action-trigger><action-trigger value-type=\"instantaneous\" "
        "permanent=\"false\"><value-changes/><action max-frequency=\"0\"/></action-trigger></monitor-entry>",
        "<monitor-entry variable=\"uptime\" log=\"false\"><frequency><asynchronous/></frequency></monitor-entry>",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EntryForm entry;
        ASSERT_TRUE(readEntry(text, &entry));
        // What the console writes means to the model what the text meant.
        EXPECT_EQ(MonitoringConfiguration::generate(MonitoringConfiguration::parseMonitorEntry(entryXml(entry))),
                  MonitoringConfiguration::generate(MonitoringConfiguration::parseMonitorEntry(text)));
    }
    EntryForm hostile;
    ASSERT_TRUE(readEntry(texts[2], &hostile));
    EXPECT_EQ(hostile.variable, "<script>&\"x'>");
    EXPECT_EQ(escapeXml(hostile.variable), "&lt;script&gt;&amp;&quot;x&#39;&gt;");
    MonitoringConfiguration::terminate();
}

TEST(ConsoleTry, RepeatLimitCountsFromEachSampleTime)
{
    std::string log;
    for (int minute = 0; minute < 60; minute += 10) {
        char line[96];
        // Above the threshold at every sample but the one at 00:30.
        std::snprintf(line, sizeof line, "2024-03-01 00:%02d:00 sample cpu=%d other=1\n", minute, minute == 30 ? 1 : 90);
        log += line;
    }
    log += "2024-03-01 00:45:00 alert cpu=90 busy\n";
    std::vector<LogPoint> samples = samplesOf(log, "cpu");
    ASSERT_EQ(samples.size(), 6u);
    ASSERT_EQ(alertsOf(log, "cpu").size(), 1u);

    TriggerForm trigger;
    trigger.valueType = "instantaneous";
    trigger.comparison = "greater-than";
    trigger.value = "50";
    trigger.log = true;
    struct Case {
        bool permanent;
        long maxFrequency;
        unsigned long fired, suppressed;
    } cases[] = {
        {true, 0, 5, 0},     // no limit: every sample above fires
        {true, 1200, 3, 2},  // acts at 00:00, 00:20 and 00:40; held at 00:10 and 00:50
        {false, 0, 2, 0},    // edge-triggered: at 00:00 and again after 00:30 re-arms it
        {false, 3600, 1, 1}, // the second edge falls inside the hour
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.permanent) + " " + std::to_string(c.maxFrequency));
        trigger.permanent = c.permanent;
        trigger.maxFrequency = c.maxFrequency;
        TryResult r = tryTrigger("cpu", trigger, samples, 60);
        EXPECT_EQ(r.points.size(), 6u);
        EXPECT_EQ(r.fired, c.fired);
        EXPECT_EQ(r.suppressed, c.suppressed);
    }
}

TEST(ConsoleTry, TextThatChangesBackIsNewsToTheRepeatGate)
{
    // The thread's gate passes a text whenever its message differs from the
    // last one, also when it returns to a message seen before.
    std::string log;
    for (const char* line : {"00:00 sample state=ok", "00:10 sample state=bad", "00:20 sample state=ok",
                             "00:30 sample state=bad", "00:40 sample state=ok"}) {
        log += std::string("2024-03-01 00:") + line + "\n";
    }
    TriggerForm trigger;
    trigger.valueType = "instantaneous";
    trigger.kind = "value-changes";
    trigger.maxFrequency = 3600;
    trigger.log = true;
    TryResult r = tryTrigger("state", trigger, samplesOf(log, "state"), 60);
    EXPECT_EQ(r.fired, 4u);
    EXPECT_EQ(r.suppressed, 0u);
}

TEST(ConsoleTry, CommandAnswersEachInput)
{
    zortest::TempRoot root;
    root.write("var/log/monitor/d20240301.log", "2024-03-01 00:00:00 sample cpu=90\n2024-03-01 00:10:00 sample cpu=95\n");
    std::string logFolder = root.at("var/log/monitor");
    const std::string trigger = "<action-trigger value-type=\"instantaneous\" permanent=\"true\"><single-value "
                                "comparison=\"greater-than\" value=\"50\"/><action max-frequency=\"3600\"><log/>"
                                "</action></action-trigger>";
    struct Case {
        std::string day, text;
        int status;
        std::string output;
    } cases[] = {
        {"d20240301", trigger, 0, "2024-03-01 00:10:00 held cpu=95"},
        {"d20240301", "<preset-variable name=\"p\" variable=\"cpu\">" + trigger + "</preset-variable>", 0, "acts 1 times"},
        {"d20240301", "<action-trigger/>", 2, "no action-trigger"},
        {"d20240302", trigger, 2, "no readable log"},
        {"../d20240301", trigger, 2, "no readable log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.day + " " + c.text);
        std::ostringstream out, err;
        EXPECT_EQ(zormon::runTry("cpu", c.day, c.text, logFolder, 60, out, err), c.status);
        EXPECT_NE((out.str() + err.str()).find(c.output), std::string::npos) << out.str() << err.str();
    }
}

TEST(ConsoleHttp, FormTextDecodes)
{
    HttpParams p;
    parseUrlEncoded("a=1+2&b=%3C%2f%3E&c&=x&d=%zz%4&&a=3", &p);
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs expected = {{"", "x"}, {"a", "1 2"}, {"a", "3"}, {"b", "</>"}, {"c", ""}, {"d", "%zz%4"}};
    EXPECT_EQ(Pairs(p.begin(), p.end()), expected);

    HttpRequest r;
    r.query = {{"csrf", "from-url"}, {"q", "1"}};
    r.form = {{"csrf", "from-form"}, {"f", "2"}};
    EXPECT_EQ(r.param("csrf"), "from-url");
    EXPECT_EQ(r.param("f"), "2");
    EXPECT_EQ(r.formField("csrf"), "from-form");
    EXPECT_EQ(r.formField("q"), "");
}

TEST(ConsoleAuth, LockoutHoldsOneNameFromOneAddress)
{
    LoginLimiter limiter(2, std::chrono::seconds(300), 3);
    limiter.failed("admin", "127.0.0.1");
    EXPECT_FALSE(limiter.blocked("admin", "127.0.0.1"));
    limiter.failed("admin", "127.0.0.1");
    EXPECT_TRUE(limiter.blocked("admin", "127.0.0.1"));
    EXPECT_FALSE(limiter.blocked("operator", "127.0.0.1"));
    EXPECT_FALSE(limiter.blocked("admin", "::1"));
    // A long name is cut to the same record as its first 256 characters.
    std::string longName(256, 'x');
    limiter.failed(longName + "a", "10.0.0.1");
    limiter.failed(longName + "b", "10.0.0.1");
    EXPECT_TRUE(limiter.blocked(longName + "c", "10.0.0.1"));
    // Three records fill the table: a fourth pushes out the stalest.
    limiter.failed("operator", "127.0.0.1");
    limiter.failed("guest", "127.0.0.1");
    EXPECT_FALSE(limiter.blocked("admin", "127.0.0.1"));
    EXPECT_TRUE(limiter.blocked(longName, "10.0.0.1"));
    limiter.succeeded(longName, "10.0.0.1");
    EXPECT_FALSE(limiter.blocked(longName, "10.0.0.1"));
}
