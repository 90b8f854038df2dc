// The replay of a trigger over logged samples, with the repeat limit
// applied at each sample's time, and the zorhost try command built on it.
#include "configtext.h"
#include "monitorlogs.h"
#include "triggertry.h"

#include "monitoring.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace console;

TEST(ConsoleTry, RepeatLimitCountsFromEachSampleTimeAndChangedTextIsNews)
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

    // The thread's gate passes a text whenever its message differs from the
    // last one, also when it returns to a message seen before.
    log.clear();
    for (const char* line : {"00:00 sample state=ok", "00:10 sample state=bad", "00:20 sample state=ok",
                             "00:30 sample state=bad", "00:40 sample state=ok"}) {
        log += std::string("2024-03-01 00:") + line + "\n";
    }
    trigger.kind = "value-changes";
    trigger.maxFrequency = 3600;
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
