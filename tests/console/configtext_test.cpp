// The console's reading and writing of the module's entry and trigger texts.
#include "configtext.h"
#include "entrytable.h"

#include "monitoring.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <tuple>

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
    // Schedules read as a person says them: no "1 day(s)".
    EntryForm weekly, daily;
    ASSERT_TRUE(readEntry(texts[1], &weekly));
    EXPECT_EQ(describeSchedule(weekly), "every 2 weeks on fri at 06:05");
    ASSERT_TRUE(readEntry(texts[2], &daily));
    EXPECT_EQ(describeSchedule(daily), "daily at 23:59");
    EntryForm hostile;
    ASSERT_TRUE(readEntry(texts[2], &hostile));
    EXPECT_EQ(hostile.variable, "<script>&\"x'>");
    EXPECT_EQ(escapeXml(hostile.variable), "&lt;script&gt;&amp;&quot;x&#39;&gt;");
    MonitoringConfiguration::terminate();
}

TEST(ConsoleText, CharacterReferencesBeyondAsciiAndPresetsReadAsTheModuleReadsThem)
{
    MonitoringConfiguration::initialize();
    EntryForm entry;
    ASSERT_TRUE(readEntry("<monitor-entry variable=\"temp&#233;rature\" log=\"true\"><frequency><seconds>30</seconds>"
                          "</frequency><action-trigger value-type=\"average\" permanent=\"false\"><single-value "
                          "comparison=\"less-than\" value=\"&#x20AC;5\"/><action max-frequency=\"60\"><email>"
                          "ren&#233;@example.com</email><shutdown/></action></action-trigger></monitor-entry>",
                          &entry));
    ASSERT_EQ(1u, entry.triggers.size());
    ASSERT_EQ(1u, entry.triggers[0].emails.size());
    EXPECT_EQ(std::tie(entry.variable, entry.triggers[0].value, entry.triggers[0].emails[0], entry.triggers[0].shutdown),
              std::make_tuple("temp\xC3\xA9rature", "\xE2\x82\xAC" "5", "ren\xC3\xA9@example.com", true));
    // Written again, the text carries the same characters to the module.
    const MonitorEntry written = MonitoringConfiguration::parseMonitorEntry(entryXml(entry));
    EXPECT_EQ("temp\xC3\xA9rature", written.getVariableName());
    EXPECT_EQ("ren\xC3\xA9@example.com", written.getActionTrigger(0)->getActionReference().getEmail(0));
    EXPECT_TRUE(written.getActionTrigger(0)->getActionReference().isShutdown());

    // A form's numbers reach the module as it would read them from the form's
    // text, so its own rules refuse what they always refused.
    entry.schedule = "daily";
    entry.hour = 24;
    EXPECT_THROW(MonitoringConfiguration::parseMonitorEntry(entryXml(entry)), MonitoringException);
    entry.schedule = "seconds";
    entry.log = false;
    EXPECT_THROW(MonitoringConfiguration::parseMonitorEntry(entryXml(entry)), MonitoringException)
        << "an average on an entry that is not logged";

    PresetForm preset;
    ASSERT_TRUE(readPreset("<preset-variable name=\"cpu\" variable=\"load-average\" unit=\"&#176;C\" "
                           "description=\"a &lt;b&gt;\">\n  <action-trigger value-type=\"maximum\" permanent=\"true\">"
                           "<interval-value low-value=\"1\" high-value=\"2\" inside-outside-range=\"outside\"/>"
                           "<action max-frequency=\"5\"><udp/></action></action-trigger>\n</preset-variable>",
                           &preset));
    EXPECT_EQ(std::tie(preset.name, preset.variable, preset.unit, preset.description, preset.trigger.kind,
                       preset.trigger.range, preset.trigger.udp),
              std::make_tuple("cpu", "load-average", "\xC2\xB0" "C", "a <b>", "interval-value", "outside", true));
    EXPECT_FALSE(readPreset("<preset-variable name=\"p\">no trigger</preset-variable>", &preset));
    EXPECT_FALSE(readPreset("<action-trigger><value-changes/></action-trigger>", &preset));
    MonitoringConfiguration::terminate();
}

// A console parse has an XML environment of its own: a malformed text is
// refused alone, the next good text reads, and the process-wide parser's
// sticky flag, which the module's rules keep, is not raised by it.
TEST(ConsoleText, MalformedTextIsRefusedAloneAndLeavesTheProcessParserClean)
{
    MonitoringConfiguration::initialize();
    resetXMLErrorsForTest();
    const std::string good = "<action-trigger value-type=\"instantaneous\" permanent=\"false\"><value-changes/>"
                             "<action max-frequency=\"0\"><log/></action></action-trigger>";
    TriggerForm trigger;
    EntryForm entry;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(readTrigger("<action-trigger><value-changes/>", &trigger));
    EXPECT_FALSE(readEntry("<monitor-entry variable=\"a&#1;b\"/>", &entry));
    EXPECT_FALSE(readEntry(good, &entry)) << "an action-trigger is no entry";
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "the console's parses write nothing to the daemon's log";
    EXPECT_FALSE(GetXMLErrorReporter()->getSawErrors());

    ASSERT_TRUE(readTrigger(good, &trigger));
    EXPECT_EQ("value-changes", trigger.kind);
    EXPECT_TRUE(trigger.log);
    std::unique_ptr<ActionTrigger> parsed(MonitoringConfiguration::parseActionTrigger(triggerXml(trigger)));
    ASSERT_NE(nullptr, parsed);
    EXPECT_EQ(good, MonitoringConfiguration::generate(parsed.get()));
    MonitoringConfiguration::terminate();
}

namespace {

/// The store as the module keeps it, changed by the steps as the module
/// would: set in place, delete moving the rest up, add at the end.
std::vector<std::string> applied(std::vector<std::string> store, const std::vector<StoreStep>& steps)
{
    for (const StoreStep& s : steps) {
        if (s.op == StoreStep::Op::add) {
            store.push_back(s.xml);
        } else {
            EXPECT_LT(s.index, store.size());
            if (s.index >= store.size()) break;
            if (s.op == StoreStep::Op::set) store[s.index] = s.xml;
            if (s.op == StoreStep::Op::del) store.erase(store.begin() + static_cast<long>(s.index));
        }
    }
    return store;
}

} // namespace

TEST(ConsoleTable, RevertStepsBringTheStoreBackToTheFile)
{
    using V = std::vector<std::string>;
    const V file = {"a", "b", "c", "d", "e"};
    // Each store an editor can leave behind, and at most how many requests the revert may take.
    const std::vector<std::pair<V, size_t>> stores = {
        {file, 0},                              // nothing changed
        {{"a", "b", "d", "e"}, 3},              // one deleted in the middle: set the rest back, append the last
        {{"a", "b", "x", "c", "d", "e"}, 1},    // one added in the middle: one delete
        {{"a", "b", "c", "d", "e", "f", "g"}, 2}, // two appended
        {{"a", "X", "c", "d", "e"}, 1},         // one changed
        {{}, 5},                                // all deleted
        {{"q", "r", "s", "t", "u", "v", "w", "x"}, 8},
    };
    for (const auto& [store, most] : stores) {
        std::vector<StoreStep> steps = revertSteps(store, file);
        EXPECT_EQ(applied(store, steps), file);
        EXPECT_LE(steps.size(), most);
        EXPECT_EQ(differingEntries(store, file) == 0, store == file);
    }
    EXPECT_EQ(applied(file, revertSteps(file, {})), V{});
    EXPECT_EQ(differingEntries({"a", "X", "c"}, {"a", "b", "c", "d"}), 2u);
}

TEST(ConsoleTable, PagesSearchAndActionFilters)
{
    MonitoringConfiguration::initialize();
    std::vector<std::string> table;
    for (int i = 0; i < 120; ++i) {
        EntryForm e;
        e.variable = i % 3 == 0 ? "Root-Free-Space" : "cpu";
        TriggerForm t;
        t.value = "1";
        t.trap = i % 2 == 0;
        e.triggers = {t};
        table.push_back(entryXml(e));
    }
    auto query = [](std::map<std::string, std::string> p) {
        return entryQuery([&p](const std::string& n) { return p.count(n) ? p.at(n) : std::string(); });
    };
    EntrySlice page = sliceOf(table, query({{"offset", "100"}}));
    ASSERT_EQ(page.rows.size(), 20u);
    EXPECT_EQ(std::make_tuple(page.total, page.rows[0].index, page.rows[0].readable), std::make_tuple(120UL, 100UL, true));
    // Search is by part of the name in any case; the action kind filters on top.
    page = sliceOf(table, query({{"q", "free"}, {"action", "trap"}, {"limit", "5"}, {"offset", "1"}}));
    EXPECT_EQ(page.total, 20u);
    ASSERT_EQ(page.rows.size(), 5u);
    EXPECT_EQ(page.rows[0].index, 6u);
    // Nonsense is read as the nearest sensible query.
    EntryQuery odd = query({{"offset", "-4"}, {"limit", "99999"}, {"action", "reboot"}});
    EXPECT_EQ(std::make_tuple(odd.offset, odd.limit, odd.filtered()), std::make_tuple(0UL, EntryQuery::kMostLimit, false));
    MonitoringConfiguration::terminate();
}

TEST(ConsoleTable, TheLookBeforeParsingAgreesWithTheSearch)
{
    MonitoringConfiguration::initialize();
    auto entry = [](const std::string& head, const std::string& action) {
        return head + "<frequency><seconds>60</seconds></frequency><action-trigger value-type=\"instantaneous\" "
                      "permanent=\"false\"><value-changes/><action max-frequency=\"0\">" +
               action + "</action></action-trigger></monitor-entry>";
    };
    const std::vector<std::string> table = {
        entry("<monitor-entry variable=\"fan&amp;&#45;speed&#x22;\" log=\"true\">", "<log/>"),
        entry("<?xml version=\"1.0\"?><!-- variable=\"cpu\" <log/> --><monitor-entry log='true' variable='Cpu-Load'>",
              "<email>log@udp.example.net</email>"),
        // The variable's text in another attribute, and its name inside another name.
        entry("<monitor-entry xvariable=\"cpu\" note='variable=\"cpu\"' variable=\"disk\" log=\"true\">",
              "<trap\n/><logger/>"),
        entry("<monitor-entry variable = \"caf&#233;-cpu\" log=\"true\">", "<udp></udp>"),
        entry("<monitor-entry variable=\"a>b&lt;trap/&gt;\" log=\"true\">", "<email>&lt;trap/&gt;@x.example</email>"),
        entry("<monitor-entry log=\"true\">", "<shutdown/>"),
        "<monitor-entry variable=\"cpu\" log=\"true\"><frequency>",
    };
    struct Case {
        std::string q, action;
        std::vector<size_t> found;
        size_t candidates; ///< texts the look leaves to the parser
    };
    const Case cases[] = {
        // The parser is left what the look cannot be sure of: é, no variable.
        {"&-speed\"", "", {0}, 3},
        {"amp", "", {}, 2},
        {"CPU", "", {1, 3}, 4},
        {"cpu", "log", {}, 1}, // an address holds the word, a comment the element
        {"", "log", {0}, 2},
        {"", "trap", {2}, 1},
        {"", "udp", {3}, 1},
        {"", "email", {1, 4}, 2},
        {"<trap", "", {4}, 3},
        {"", "shutdown", {5}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.q + " " + c.action);
        EntryQuery query;
        query.q = c.q;
        query.action = c.action;
        std::vector<size_t> found;
        size_t candidates = 0;
        for (size_t i = 0; i < table.size(); ++i) {
            EntryForm form;
            const bool match = readEntry(table[i], &form) && matches(form, query);
            const bool candidate = mayMatch(table[i], query);
            EXPECT_TRUE(candidate || !match) << "the look drops a match: " << table[i];
            candidates += candidate ? 1 : 0;
            if (match) found.push_back(i);
        }
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(candidates, c.candidates);
        std::vector<size_t> sliced;
        for (const EntryRow& row : sliceOf(table, query).rows) sliced.push_back(row.index);
        EXPECT_EQ(sliced, c.found);
    }
    MonitoringConfiguration::terminate();
}
