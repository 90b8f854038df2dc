// The graph's arithmetic and drawing without a server: round value and time
// ticks, the range a request asks for, counts that read right, units,
// labelled thresholds and alert markers in the SVG; and the pages' paging.
#include "pagekit.h"
#include "paging.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace console;
using namespace console::page;

namespace {

class ConsoleGraph : public ::testing::Test {
protected:
    ConsoleGraph()
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static std::time_t at(const std::string& clock) { return zormon::parseClock(clock); }
    static std::vector<std::string> labels(const std::vector<TimeTick>& ticks)
    {
        std::vector<std::string> out;
        for (const auto& t : ticks) out.push_back(t.label);
        return out;
    }
};

} // namespace

TEST_F(ConsoleGraph, ValueTicksAreRoundAndCoverTheValues)
{
    EXPECT_EQ(valueTicks(79.28, 104.61, 6), (std::vector<double>{70, 80, 90, 100, 110}));
    std::vector<double> small = valueTicks(0.41, 0.46, 6);
    ASSERT_EQ(small.size(), 6u);
    EXPECT_NEAR(small.front(), 0.41, 1e-9);
    EXPECT_NEAR(small[1] - small[0], 0.01, 1e-9);
    EXPECT_EQ(valueTicks(-3, 7, 6), (std::vector<double>{-4, -2, 0, 2, 4, 6, 8}));
    EXPECT_EQ(valueTicks(0, 2500, 6), (std::vector<double>{0, 500, 1000, 1500, 2000, 2500}));
}

TEST_F(ConsoleGraph, TimeTicksFallOnRoundTimes)
{
    std::time_t end = at("2024-03-02 10:17:30");
    EXPECT_EQ(labels(timeTicks(end - 900, end)), (std::vector<std::string>{"10:05", "10:10", "10:15"}));
    EXPECT_EQ(labels(timeTicks(end - 3600, end)), (std::vector<std::string>{"09:30", "09:45", "10:00", "10:15"}));
    EXPECT_EQ(labels(timeTicks(end - 6 * 3600, end)),
              (std::vector<std::string>{"05:00", "06:00", "07:00", "08:00", "09:00", "10:00"}));
    // A day across midnight names the new day; a week names its days.
    EXPECT_EQ(labels(timeTicks(end - 86400, end)),
              (std::vector<std::string>{"12:00", "15:00", "18:00", "21:00", "03-02", "03:00", "06:00", "09:00"}));
    EXPECT_EQ(labels(timeTicks(end - 7 * 86400, end)).front(), "2024-02-25");
    EXPECT_EQ(labels(timeTicks(end - 7 * 86400, end)).size(), 7u);
}

TEST_F(ConsoleGraph, RangesEndNowForTodayAndAtTheEndOfAPastDay)
{
    std::time_t now = at("2024-03-02 10:17:30");
    GraphRange today = graphRange("15m", "d20240302", "", "", now);
    EXPECT_EQ(today.to, now);
    EXPECT_EQ(today.to - today.from, 900);
    GraphRange past = graphRange("6h", "d20240301", "", "", now);
    EXPECT_EQ(past.to, at("2024-03-02 00:00:00"));
    EXPECT_EQ(past.from, at("2024-03-01 18:00:00"));
    GraphRange custom = graphRange("custom", "d20240302", "2024-03-01T08:00", "2024-03-01 09:30:00", now);
    EXPECT_EQ(custom.name, "custom");
    EXPECT_EQ(custom.from, at("2024-03-01 08:00:00"));
    EXPECT_EQ(custom.to, at("2024-03-01 09:30:00"));
    // Backwards or unreadable: the day, and why.
    GraphRange wrong = graphRange("custom", "d20240301", "2024-03-01T10:00", "2024-03-01T09:00", now);
    EXPECT_EQ(wrong.name, "day");
    EXPECT_EQ(wrong.from, at("2024-03-01 00:00:00"));
    EXPECT_FALSE(wrong.problem.empty());
    EXPECT_EQ(graphRange("custom", "d20240301", "2024-01-01T00:00", "2024-03-01T00:00", now).name, "day");
    GraphRange unknown = graphRange("nonsense", "d20240302", "", "", now);
    EXPECT_EQ(unknown.to - unknown.from, 86400);
}

TEST_F(ConsoleGraph, TheSvgLabelsTicksThresholdsAndAlertsInTheUnit)
{
    EXPECT_EQ(counted(1, "alert"), "1 alert");
    EXPECT_EQ(counted(0, "alert"), "0 alerts");
    EXPECT_EQ(counted(2, "sample"), "2 samples");
    EXPECT_EQ(unitOf("cpu"), "%");
    EXPECT_EQ(unitOf("temperature"), "°C");
    EXPECT_EQ(unitOf("load-average"), "");

    Series s;
    s.to = at("2024-03-02 10:15:00");
    s.from = s.to - 900;
    for (int i = 0; i < 30; ++i) s.points.push_back({s.to - 120 + i, "", std::to_string(80 + i % 3)});
    s.alerts.push_back({s.to - 100, "", "cpu", "2024-03-02 10:13:20 alert cpu=81 <hot>"});
    TriggerForm t;
    t.value = "90";
    TriggerForm band;
    band.kind = "interval-value";
    band.range = "outside";
    band.lowValue = "10";
    band.highValue = "95";
    std::vector<Threshold> lines = thresholdsOf(t, "%");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].label, "exceeds 90 %");
    for (const Threshold& l : thresholdsOf(band, "")) EXPECT_EQ(l.label, "outside 10 to 95");
    std::string svg = svgGraph(s, lines, nullptr, "%");

    EXPECT_NE(svg.find(">80 %</text>"), std::string::npos);
    EXPECT_NE(svg.find(">90 %</text>"), std::string::npos);
    EXPECT_NE(svg.find("class=\"threshold-label\""), std::string::npos);
    EXPECT_NE(svg.find(">exceeds 90 %</text>"), std::string::npos);
    EXPECT_NE(svg.find(">10:05</text>"), std::string::npos);
    EXPECT_NE(svg.find("<title>2024-03-02 10:13:20 alert cpu=81 &lt;hot&gt;</title>"), std::string::npos);
}

TEST(ConsolePaging, OffsetsLimitsAndLinks)
{
    Paging p = readPaging("", "", 500, 10000);
    EXPECT_EQ(p.offset, 0u);
    EXPECT_EQ(p.limit, 500u);
    p = readPaging("-5", "0", 500, 10000);
    EXPECT_EQ(p.offset, 0u);
    EXPECT_EQ(p.limit, 500u);
    EXPECT_EQ(readPaging("20", "99999", 500, 10000).limit, 10000u);
    // The last page's link asks for what is left; the Logs page's test reads the rest.
    std::string links = pagingLinks("paging", "/x?", readPaging("10", "10", 500, 10000), 25, "line");
    EXPECT_NE(links.find("Lines 11-20 of 25."), std::string::npos) << links;
    EXPECT_NE(links.find("href=\"/x?offset=20&amp;limit=10\" class=\"next\">Next 5<"), std::string::npos);
    EXPECT_EQ(pagingLinks("p", "/x?", readPaging("", "", 10, 10), 3, "line").find("class=\"next\""), std::string::npos);
}
