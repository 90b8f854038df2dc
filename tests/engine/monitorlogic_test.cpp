// The monitor thread's rules on plain timelines: values, schedules (a DST
// change included), trigger evaluation with windows, and the repeat gate
// played on a virtual clock; the log lines it writes, read back.
#include "monitoractions.h"
#include "monitorlogic.h"
#include "monitorlogs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

using namespace zormon;

namespace {

std::time_t gNow = 0;

class MonitorLogicTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MonitoringConfiguration::initialize(); }
    static void TearDownTestSuite() { MonitoringConfiguration::terminate(); }
    void SetUp() override
    {
        _savedTz = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
        useZone("UTC");
    }
    void TearDown() override
    {
        useZone(_savedTz);
    }
    static void useZone(const std::string& zone)
    {
        setenv("TZ", zone.c_str(), 1);
        tzset();
    }
    /// A local time; tm_isdst left to the library.
    static std::time_t local(int year, int month, int day, int hour, int minute)
    {
        std::tm parts{};
        parts.tm_year = year - 1900;
        parts.tm_mon = month - 1;
        parts.tm_mday = day;
        parts.tm_hour = hour;
        parts.tm_min = minute;
        parts.tm_isdst = -1;
        return mktime(&parts);
    }
    static MonitorEntry entry(const std::string& freq, const std::string& triggers, bool log = true)
    {
        return MonitoringConfiguration::parseMonitorEntry("<monitor-entry variable=\"v\" log=\"" +
                                                          std::string(log ? "true" : "false") + "\"><frequency>" +
                                                          freq + "</frequency>" + triggers + "</monitor-entry>");
    }

    std::string _savedTz;
};

} // namespace

TEST_F(MonitorLogicTest, ValuesAreNumbersOnlyWhenWhollyDecimal)
{
    struct Row {
        const char* raw;
        bool available;
        bool isNumber;
        const char* text;
        const char* written;
    };
    const Row rows[] = {
        {" 05 \r", true, true, "05", "05"},
        {"-2.5", true, true, "-2.5", "-2.5"},
        {"+3", true, true, "+3", "+3"},
        {"5x", true, false, "5x", "5x"},
        {"1e3", true, false, "1e3", "1e3"},
        {"inf", true, false, "inf", "inf"},
        {"0x10", true, false, "0x10", "0x10"},
        {"5.", true, false, "5.", "5."},
        {"disk ok", true, false, "disk ok", "\"disk ok\""},
        {"say \"hi\" \\o/", true, false, "say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
        {"a\tb", true, false, "a\tb", "\"a\\x09b\""},
        {"  \t ", false, false, "", ""},
    };
    for (const Row& row : rows) {
        Sample sample;
        ASSERT_EQ(row.available, parseSample(row.raw, &sample)) << row.raw;
        if (row.available) {
            EXPECT_EQ(row.isNumber, sample.isNumber) << row.raw;
            EXPECT_EQ(row.text, sample.text) << row.raw;
            EXPECT_EQ(row.written, quoteValue(sample.text, sample.isNumber)) << row.raw;
        }
    }
    EXPECT_EQ("2.5", formatNumber(2.5));
    EXPECT_EQ("3", formatNumber(3.0));
    EXPECT_EQ("0.333333", formatNumber(1.0 / 3));
    EXPECT_EQ("0", formatNumber(-0.0000001));
}

TEST_F(MonitorLogicTest, LogLinesReadBackWhatWasWritten)
{
    char folder[] = "/tmp/monitorlogic-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::vector<std::string> hostLog;
    MonitorLog log(folder, [&](const std::string& text) { hostLog.push_back(text); });
    const std::time_t when = local(2026, 3, 4, 5, 6);
    const std::vector<std::pair<std::string, bool>> values = {
        {"-2.5", true}, {"disk ok", false}, {"say \"hi\" \\o/ \\", false}, {"a\tb\x7f", false}, {"x=y", false}};
    for (const auto& [value, isNumber] : values) {
        ASSERT_TRUE(log.append(when, sampleText("v", value, isNumber)));
        ASSERT_TRUE(log.append(when, sampleText("other", "1", true)));
    }
    ASSERT_TRUE(log.append(when + 1, alertText("v=" + quoteValue("say \"hi\"", false) + " above 3")));

    std::string text;
    ASSERT_TRUE(readLog(folder, dayLogName(when).substr(0, 9), &text));
    const std::vector<LogPoint> points = samplesOf(text, "v");
    ASSERT_EQ(points.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(points[i].value, values[i].first);
        EXPECT_EQ(points[i].clock, "2026-03-04 05:06:00");
        EXPECT_EQ(points[i].when, when);
    }
    EXPECT_EQ(sampledNames(text), (std::vector<std::string>{"other", "v"}));
    const std::vector<LogAlert> alerts = alertsOf(text, "v");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].line, "2026-03-04 05:06:01 alert v=\"say \\\"hi\\\"\" above 3");
    EXPECT_EQ(alerts[0].when, when + 1);
    EXPECT_TRUE(alertsOf(text, "other").empty());
    EXPECT_TRUE(hostLog.empty());
    std::filesystem::remove_all(folder);
}

TEST_F(MonitorLogicTest, SchedulesFindTheirNextTime)
{
    const std::time_t monday = local(2026, 3, 2, 10, 0); // a Monday
    struct Row {
        const char* schedule;
        std::time_t after;
        std::time_t due;
    };
    const Row rows[] = {
        {"<seconds>10</seconds>", monday, monday + 10},
        {"<seconds>0</seconds>", monday, monday + 1},
        {"<asynchronous/>", monday, monday + 60},
        {"<daily><time-of-day hour=\"6\" min=\"30\"/></daily>", monday, local(2026, 3, 3, 6, 30)},
        {"<daily><time-of-day hour=\"12\" min=\"0\"/></daily>", monday, local(2026, 3, 2, 12, 0)},
        {"<daily><time-of-day hour=\"10\" min=\"0\"/></daily>", monday, local(2026, 3, 3, 10, 0)},
        {"<weekly day-of-week=\"mon\"><time-of-day hour=\"10\" min=\"0\"/></weekly>", monday, monday + 7 * 86400},
        {"<weekly day-of-week=\"fri\"><time-of-day hour=\"6\" min=\"5\"/></weekly>", monday, local(2026, 3, 6, 6, 5)},
        {"<bogus/>", monday, std::numeric_limits<std::time_t>::max()},
    };
    for (const Row& row : rows) {
        const MonitorEntry e = entry(row.schedule, "");
        EXPECT_EQ(formatLocalTime(row.due), formatLocalTime(nextDue(e.getFrequency(), row.after, 60))) << row.schedule;
    }
    // Every K days or weeks: consecutive runs lie K days or weeks apart.
    const MonitorEntry everyTwoDays = entry("<daily every=\"2\"><time-of-day hour=\"8\" min=\"0\"/></daily>", "");
    const MonitorEntry everyThreeWeeks =
        entry("<weekly every=\"3\" day-of-week=\"sun\"><time-of-day hour=\"8\" min=\"0\"/></weekly>", "");
    const std::time_t firstDaily = nextDue(everyTwoDays.getFrequency(), monday, 60);
    EXPECT_LE(firstDaily - monday, 2 * 86400);
    EXPECT_EQ(2 * 86400, nextDue(everyTwoDays.getFrequency(), firstDaily, 60) - firstDaily);
    const std::time_t firstWeekly = nextDue(everyThreeWeeks.getFrequency(), monday, 60);
    EXPECT_LE(firstWeekly - monday, 21 * 86400);
    EXPECT_EQ(21 * 86400, nextDue(everyThreeWeeks.getFrequency(), firstWeekly, 60) - firstWeekly);
}

// Plain numbers past 2^31 seconds: the appliance's 32-bit build must not wrap.
TEST_F(MonitorLogicTest, SchedulesAndDayLogsPast2038)
{
    const std::time_t lastSecond = 2147483647; // 2038-01-19 03:14:07 UTC
    const MonitorEntry tenSeconds = entry("<seconds>10</seconds>", "");
    EXPECT_EQ("2038-01-19 03:14:17", formatLocalTime(nextDue(tenSeconds.getFrequency(), lastSecond, 60)));
    EXPECT_EQ("d20380119.log", dayLogName(lastSecond + 1));

    const std::time_t monday = local(2040, 3, 5, 10, 0);
    ASSERT_GT(monday, lastSecond);
    const MonitorEntry daily = entry("<daily><time-of-day hour=\"6\" min=\"30\"/></daily>", "");
    const MonitorEntry weekly = entry("<weekly day-of-week=\"fri\"><time-of-day hour=\"6\" min=\"5\"/></weekly>", "");
    EXPECT_EQ("2040-03-06 06:30:00", formatLocalTime(nextDue(daily.getFrequency(), monday, 60)));
    EXPECT_EQ("2040-03-09 06:05:00", formatLocalTime(nextDue(weekly.getFrequency(), monday, 60)));
    EXPECT_EQ("d20400305.log", dayLogName(monday));
}

TEST_F(MonitorLogicTest, DailySchedulesFollowLocalTimeAcrossDstChanges)
{
    useZone("Europe/Berlin"); // clocks go forward on 2026-03-29 02:00, back on 2026-10-25 03:00
    const MonitorEntry six = entry("<daily><time-of-day hour=\"6\" min=\"0\"/></daily>", "");
    const std::time_t before = local(2026, 3, 28, 6, 0);
    const std::time_t next = nextDue(six.getFrequency(), before, 60);
    EXPECT_EQ("2026-03-29 06:00:00", formatLocalTime(next));
    EXPECT_EQ(23 * 3600, next - before); // the short day

    const MonitorEntry skipped = entry("<daily><time-of-day hour=\"2\" min=\"30\"/></daily>", "");
    const std::time_t inGap = nextDue(skipped.getFrequency(), local(2026, 3, 28, 12, 0), 60);
    EXPECT_EQ("2026-03-29", formatLocalTime(inGap).substr(0, 10)); // after the gap, same day
    EXPECT_EQ("2026-03-30 02:30:00", formatLocalTime(nextDue(skipped.getFrequency(), inGap, 60)));

    // 02:30 happens twice on 2026-10-25: sampled once.
    const std::time_t twice = nextDue(skipped.getFrequency(), local(2026, 10, 24, 12, 0), 60);
    EXPECT_EQ("2026-10-25 02:30:00", formatLocalTime(twice));
    EXPECT_EQ("2026-10-26 02:30:00", formatLocalTime(nextDue(skipped.getFrequency(), twice, 60)));
    EXPECT_EQ("2026-10-26 02:30:00", formatLocalTime(nextDue(skipped.getFrequency(), twice + 3600, 60)));
}

TEST_F(MonitorLogicTest, TriggersFireOnNumbersTextsAndWindows)
{
    struct Row {
        const char* trigger; ///< inside action-trigger, before the action
        const char* attributes;
        std::vector<const char*> samples; ///< one a second
        const char* fired;                ///< '1' where the action is performed
        const char* firstMessage;         ///< of the first performance
        bool refuses = false;             ///< a text met a comparison that needs numbers
    };
    const Row rows[] = {
        {"<single-value comparison=\"greater-than\" value=\"90\"/>", "", {"80", "95", "96", "80", "97"}, "01001",
         "v=95 exceeds 90"},
        {"<single-value comparison=\"greater-than\" value=\"90\"/>", "permanent=\"true\"", {"80", "95", "96", "80", "97"},
         "01101", "v=95 exceeds 90"},
        {"<single-value comparison=\"less-than\" value=\"10\"/>", "", {"5", "5", "20", "5"}, "1001", "v=5 is below 10"},
        {"<single-value comparison=\"equals\" value=\"5\"/>", "permanent=\"true\"", {"05", "5.0", "5x", "5"}, "1101",
         "v=05 equals 5"},
        {"<single-value comparison=\"not-equals\" value=\"ok\"/>", "permanent=\"true\"", {"ok", "disk failed", " ok ", "OK"},
         "0101", "v=\"disk failed\" does not equal ok"},
        {"<single-value comparison=\"greater-than\" value=\"50\"/>", "permanent=\"true\"", {"abc", "99"}, "01",
         "v=99 exceeds 50", true},
        {"<single-value comparison=\"greater-than\" value=\"high\"/>", "permanent=\"true\"", {"99", "100"}, "00", "", true},
        {"<interval-value low-value=\"10\" high-value=\"20\" inside-outside-range=\"inside\"/>", "permanent=\"true\"",
         {"10", "15", "20", "21", "9"}, "11100", "v=10 is inside interval (10, 20)"},
        {"<interval-value low-value=\"10\" high-value=\"20\" inside-outside-range=\"outside\"/>", "permanent=\"true\"",
         {"10", "15", "20", "21", "9", "x"}, "000110", "v=21 is outside interval (10, 20)", true},
        {"<value-changes/>", "", {"1", "1", "01", "2", "two", "two"}, "000110", "v=2 changed"},
        {"<single-value comparison=\"greater-than\" value=\"10\"/>", "value-type=\"average\" permanent=\"true\"",
         {"0", "30", "0", "0", "0"}, "01000", "v=15 exceeds 10"},
        {"<single-value comparison=\"greater-than\" value=\"25\"/>", "value-type=\"maximum\" permanent=\"true\"",
         {"0", "30", "0", "0", "0"}, "01110", "v=30 exceeds 25"},
        {"<single-value comparison=\"less-than\" value=\"5\"/>", "value-type=\"minimum\" permanent=\"true\"",
         {"10", "0", "10", "10", "10"}, "01110", "v=0 is below 5"},
    };
    for (const Row& row : rows) {
        EntryState state(entry("<seconds>1</seconds>", std::string("<action-trigger ") + row.attributes + ">" +
                                                           row.trigger + "<action><log/></action></action-trigger>"));
        std::string fired;
        std::string firstMessage;
        std::string refusal;
        gNow = 1000;
        for (const char* raw : row.samples) {
            Sample sample;
            ASSERT_TRUE(parseSample(raw, &sample));
            const Evaluation evaluation = evaluateSample(state, sample, ++gNow, 2);
            fired += evaluation.performed.empty() ? '0' : '1';
            if (!evaluation.performed.empty() && firstMessage.empty()) {
                firstMessage = evaluation.performed[0].message;
            }
            refusal += evaluation.refusal;
        }
        EXPECT_EQ(row.fired, fired) << row.trigger << " " << row.attributes;
        EXPECT_EQ(row.firstMessage, firstMessage) << row.trigger << " " << row.attributes;
        EXPECT_EQ(row.refuses, !refusal.empty()) << row.trigger << ": " << refusal;
    }
}

TEST_F(MonitorLogicTest, RepeatGateHoldsBackRepeatsOnTheVirtualClock)
{
    struct Row {
        const char* trigger;
        std::vector<std::pair<std::time_t, const char*>> samples;
        const char* performed;
    };
    const Row rows[] = {
        // Numbers: at most once per max-frequency seconds.
        {"<single-value comparison=\"greater-than\" value=\"0\"/>", {{0, "1"}, {30, "2"}, {59, "3"}, {60, "4"}}, "1001"},
        // Texts: a changed message passes at once; a repeated one by time.
        {"<single-value comparison=\"not-equals\" value=\"x\"/>",
         {{0, "A"}, {10, "A"}, {20, "A"}, {25, "B"}, {30, "B"}, {70, "B"}},
         "110101"},
    };
    for (const Row& row : rows) {
        EntryState state(entry("<seconds>1</seconds>", std::string("<action-trigger permanent=\"true\">") + row.trigger +
                                                           "<action max-frequency=\"60\"><udp/></action></action-trigger>"));
        std::string performed;
        for (const auto& taken : row.samples) {
            gNow = 5000 + taken.first;
            Sample sample;
            parseSample(taken.second, &sample);
            performed += evaluateSample(state, sample, gNow, 60).performed.empty() ? '0' : '1';
        }
        EXPECT_EQ(row.performed, performed) << row.trigger;
    }
}
