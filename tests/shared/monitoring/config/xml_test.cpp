// Reading, writing and printing configuration documents, the preset
// catalogue, the parser's error flag and its defences against hostile input.
#include "monitoring.h"
#include "xmlutils.h"
#include "zortest.h"

#include <gtest/gtest.h>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// The XML platform starts once for the whole binary, as the module's store
// starts it before its first load.
class XmlEnvironment : public testing::Environment {
public:
    void SetUp() override { MonitoringConfiguration::initialize(); }
    void TearDown() override { MonitoringConfiguration::terminate(); }
};
testing::Environment* const gXmlEnvironment = testing::AddGlobalTestEnvironment(new XmlEnvironment);

std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const MonitoringException& failure) {
        return failure.getMessage();
    }
    return "<no exception>";
}

std::string dataFile(const std::string& name) { return std::string(ZOR_TEST_DATA) + "/monitoring/" + name; }

// Every test starts with a clean parser error flag, whatever ran before it.
class XmlTest : public testing::Test {
protected:
    void SetUp() override { resetXMLErrorsForTest(); }
    void TearDown() override { resetXMLErrorsForTest(); }
    std::string configPath()
    {
        _root.mkdir("etc/configs/monitor");
        return _root.at("etc/configs/monitor/Monitor.cfg");
    }
    zortest::TempRoot _root;
};

void expectSameTrigger(const ActionTrigger* expected, const ActionTrigger* actual)
{
    ASSERT_NE(nullptr, expected);
    ASSERT_NE(nullptr, actual);
    ASSERT_EQ(expected->isA(), actual->isA());
    EXPECT_EQ(expected->getValueType(), actual->getValueType());
    EXPECT_EQ(expected->isPermanent(), actual->isPermanent());
    EXPECT_EQ(expected->toString(), actual->toString());
    if (expected->isA() == singleValue) {
        EXPECT_EQ(static_cast<const SingleValueTrigger*>(expected)->getComparisonType(),
                  static_cast<const SingleValueTrigger*>(actual)->getComparisonType());
    } else if (expected->isA() == intervalValue) {
        EXPECT_EQ(static_cast<const IntervalValueTrigger*>(expected)->getIntervalType(),
                  static_cast<const IntervalValueTrigger*>(actual)->getIntervalType());
    }
    const Action& want = expected->getActionReference();
    const Action& got = actual->getActionReference();
    EXPECT_EQ(want.getMaxFrequency(), got.getMaxFrequency());
    EXPECT_EQ(want.isUdp(), got.isUdp());
    EXPECT_EQ(want.isTrap(), got.isTrap());
    EXPECT_EQ(want.isShutdown(), got.isShutdown());
    EXPECT_EQ(want.isLog(), got.isLog());
    EXPECT_EQ(want.isPowerOffDrive(), got.isPowerOffDrive());
    ASSERT_EQ(want.getEmailListSize(), got.getEmailListSize());
    for (unsigned int i = 0; i < static_cast<unsigned int>(want.getEmailListSize()); ++i) {
        EXPECT_EQ(want.getEmail(i), got.getEmail(i));
    }
}

void expectSameTime(const TimeOfDay& expected, const TimeOfDay& actual)
{
    EXPECT_EQ(expected.getHour(), actual.getHour());
    EXPECT_EQ(expected.getMinutes(), actual.getMinutes());
}

void expectSameEntry(const MonitorEntry& expected, const MonitorEntry& actual)
{
    EXPECT_EQ(expected.getVariableName(), actual.getVariableName());
    EXPECT_EQ(expected.isLog(), actual.isLog());
    const Frequency* want = expected.getFrequency();
    const Frequency* got = actual.getFrequency();
    ASSERT_EQ(want == nullptr, got == nullptr);
    if (want != nullptr) {
        ASSERT_EQ(want->isA(), got->isA());
        if (want->isA() == seconds) {
            EXPECT_EQ(static_cast<const Seconds*>(want)->getSeconds(), static_cast<const Seconds*>(got)->getSeconds());
        } else if (want->isA() == daily) {
            EXPECT_EQ(static_cast<const Daily*>(want)->getEvery(), static_cast<const Daily*>(got)->getEvery());
            expectSameTime(static_cast<const Daily*>(want)->getTimeOfDay(), static_cast<const Daily*>(got)->getTimeOfDay());
        } else if (want->isA() == weekly) {
            const Weekly* w = static_cast<const Weekly*>(want);
            const Weekly* g = static_cast<const Weekly*>(got);
            EXPECT_EQ(w->getEvery(), g->getEvery());
            EXPECT_EQ(w->getDayOfWeek(), g->getDayOfWeek());
            expectSameTime(w->getTimeOfDay(), g->getTimeOfDay());
        }
    }
    ASSERT_EQ(expected.getActionTriggerListLength(), actual.getActionTriggerListLength());
    for (int i = 0; i < expected.getActionTriggerListLength(); ++i) {
        expectSameTrigger(expected.getActionTrigger(static_cast<unsigned int>(i)),
                          actual.getActionTrigger(static_cast<unsigned int>(i)));
    }
}

TimeOfDay timeOf(unsigned int hour, unsigned int minutes)
{
    TimeOfDay time;
    time.setHour(hour);
    time.setMinutes(minutes);
    return time;
}

MonitorEntry layoutEntry()
{
    Seconds everyMinute;
    everyMinute.setSeconds(60);
    MonitorEntry entry(true, "cpu-load", &everyMinute);
    SingleValueTrigger above;
    above.setValueType(average);
    above.setComparisonType(greaterThan);
    above.setValue("50");
    above.getActionReference().setMaxFrequency(3600);
    above.getActionReference().setLog(true);
    entry.addActionTrigger(&above);
    return entry;
}

// Every schedule kind and none, every trigger kind, value type and flag,
// several addresses, and text that needs escaping.
std::vector<MonitorEntry> richConfiguration()
{
    std::vector<MonitorEntry> entries;

    Seconds everyMinute;
    everyMinute.setSeconds(60);
    MonitorEntry load(true, "cpu & <load> \"1\" temp\xC3\xA9rature", &everyMinute);
    SingleValueTrigger above;
    above.setValueType(average);
    above.setValue("a<b & c>d\tx");
    Action& all = above.getActionReference();
    all.setMaxFrequency(3600);
    all.addEmail("ops@example.com");
    all.addEmail("pager&1@example.com");
    all.addEmail("<boss>@example.com");
    SetShutdown(true, all);
    all.setTrap(true);
    all.setUdp(true);
    all.setLog(true);
    all.setPowerOffDrive(true);
    load.addActionTrigger(&above);
    IntervalValueTrigger range;
    range.setValueType(minimum);
    range.setIntervalType(outside);
    range.setLowValue("1");
    range.setHighValue("2 & 3");
    range.getActionReference().setUdp(true);
    load.addActionTrigger(&range);
    ValueChangesTrigger changes;
    changes.setValueType(maximum);
    changes.setPermanent(true);
    load.addActionTrigger(&changes);
    entries.push_back(load);

    Weekly friday;
    friday.setDayOfWeek(fri);
    friday.setEvery(2);
    friday.setTimeOfDay(timeOf(6, 30));
    MonitorEntry fan(false, "fan", &friday);
    SingleValueTrigger differs;
    differs.setComparisonType(notEquals);
    fan.addActionTrigger(&differs);
    entries.push_back(fan);

    Daily morning;
    morning.setEvery(3);
    morning.setTimeOfDay(timeOf(7, 5));
    MonitorEntry disk(true, "disk", &morning);
    IntervalValueTrigger within;
    within.setIntervalType(inside);
    within.setLowValue("-5");
    within.setHighValue("5");
    within.setPermanent(true);
    within.getActionReference().setTrap(true);
    within.getActionReference().addEmail("disk@example.com");
    disk.addActionTrigger(&within);
    entries.push_back(disk);

    Asynchronous whenever;
    entries.emplace_back(true, "events", &whenever);

    MonitorEntry unscheduled;
    unscheduled.setLog(true);
    unscheduled.setVariableName("unscheduled");
    SingleValueTrigger below;
    below.setValueType(average);
    below.setComparisonType(lessThan);
    below.setValue("0");
    unscheduled.addActionTrigger(&below);
    SingleValueTrigger same;
    same.setComparisonType(equals);
    same.setValue("ok");
    unscheduled.addActionTrigger(&same);
    entries.push_back(unscheduled);
    return entries;
}

TEST_F(XmlTest, SavedBytesOfTheLayoutExampleAndOfAnEmptyConfiguration)
{
    std::string path = configPath();
    MonitoringConfiguration::save({layoutEntry()}, path);
    EXPECT_EQ(zortest::readFile(dataFile("layout-Monitor.cfg")), zortest::readFile(path));

    MonitoringConfiguration::save({}, path);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<monitor-config/>\n\n", zortest::readFile(path));

    EXPECT_EQ("<monitor-entry variable=\"cpu-load\" log=\"true\"><frequency><seconds>60</seconds></frequency>"
              "<action-trigger value-type=\"average\" permanent=\"false\">"
              "<single-value comparison=\"greater-than\" value=\"50\"/>"
              "<action max-frequency=\"3600\"><log/></action></action-trigger></monitor-entry>",
              MonitoringConfiguration::generate(layoutEntry()));

    // The file of the layout example reads back to the same entry.
    std::vector<MonitorEntry> loaded = MonitoringConfiguration::load(dataFile("layout-Monitor.cfg"));
    ASSERT_EQ(1u, loaded.size());
    expectSameEntry(layoutEntry(), loaded[0]);
}

TEST_F(XmlTest, RichConfigurationSurvivesSaveLoadCycles)
{
    std::vector<MonitorEntry> entries = richConfiguration();
    std::string path = configPath();
    MonitoringConfiguration::save(entries, path);
    std::string first = zortest::readFile(path);
    EXPECT_NE(std::string::npos, first.find("variable=\"cpu &amp; &lt;load> &quot;1&quot; temp\xC3\xA9rature\""))
        << first;
    EXPECT_NE(std::string::npos, first.find("\n<email>\npager&amp;1@example.com\n</email>\n")) << first;
    EXPECT_NE(std::string::npos, first.find("<frequency/>")) << "no schedule: empty frequency element";
    EXPECT_NE(std::string::npos, first.find("<time-of-day hour=\"7\" min=\"05\"/>"));
    EXPECT_NE(std::string::npos, first.find("<time-of-day hour=\"6\" min=\"30\"/>"));

    std::vector<MonitorEntry> loaded = MonitoringConfiguration::load(path);
    ASSERT_EQ(entries.size(), loaded.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        expectSameEntry(entries[i], loaded[i]);
    }
    MonitoringConfiguration::save(loaded, path);
    EXPECT_EQ(first, zortest::readFile(path));
    MonitoringConfiguration::save(MonitoringConfiguration::load(path), path);
    EXPECT_EQ(first, zortest::readFile(path));
}

TEST_F(XmlTest, GeneratedTextParsesBackToEqualObjects)
{
    for (const MonitorEntry& entry : richConfiguration()) {
        SCOPED_TRACE(entry.getVariableName());
        std::string text = MonitoringConfiguration::generate(entry);
        EXPECT_EQ(std::string::npos, text.find('\n')) << text;
        EXPECT_EQ(std::string::npos, text.find("<?xml")) << text;
        expectSameEntry(entry, MonitoringConfiguration::parseMonitorEntry(text));
        for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
            const ActionTrigger* trigger = entry.getActionTrigger(static_cast<unsigned int>(i));
            std::unique_ptr<ActionTrigger> parsed(
                MonitoringConfiguration::parseActionTrigger(MonitoringConfiguration::generate(trigger)));
            expectSameTrigger(trigger, parsed.get());
        }
    }
    SingleValueTrigger bare;
    EXPECT_EQ("<action-trigger value-type=\"instantaneous\" permanent=\"false\">"
              "<single-value comparison=\"greater-than\" value=\"\"/><action max-frequency=\"0\"/></action-trigger>",
              MonitoringConfiguration::generate(&bare));
    EXPECT_EQ("NULL Trigger specified", messageOf([] { MonitoringConfiguration::generate(nullptr); }));
}

TEST_F(XmlTest, ReaderIsLenientAndFallsBackToDefaults)
{
    // Any root name; an empty root yields nothing; a bare entry document as a file yields nothing.
    _root.write("other.cfg", "<config><monitor-entry variable=\"x\" log=\"true\"/></config>");
    _root.write("empty.cfg", "<monitor-config/>");
    _root.write("bare.cfg", "<monitor-entry variable=\"x\" log=\"true\"/>");
    EXPECT_EQ(1u, MonitoringConfiguration::load(_root.at("other.cfg")).size());
    EXPECT_EQ(0u, MonitoringConfiguration::load(_root.at("empty.cfg")).size());
    EXPECT_EQ(0u, MonitoringConfiguration::load(_root.at("bare.cfg")).size());

    std::vector<MonitorEntry> example = MonitoringConfiguration::load(dataFile("example-Monitor.cfg"));
    ASSERT_EQ(2u, example.size());
    EXPECT_EQ("ops@example.com", example[0].getActionTrigger(0)->getAction().getEmail(0));
    ASSERT_EQ(weekly, example[1].getFrequency()->isA());
    EXPECT_EQ(mon, static_cast<const Weekly*>(example[1].getFrequency())->getDayOfWeek());
    EXPECT_EQ(5u, static_cast<const Weekly*>(example[1].getFrequency())->getTimeOfDay().getMinutes());

    MonitorEntry entry = MonitoringConfiguration::parseMonitorEntry(
        "<monitor-entry variable=\"v\" log=\"TRUE\"><frequency><!-- first element counts -->"
        "<weekly every=\"x3\" day-of-week=\"Mon\"><time-of-day hour=\" 6\" min=\"5min\"/></weekly></frequency>"
        "<action-trigger value-type=\"Average\"><single-value value=\"1\"/><interval-value/></action-trigger>"
        "</monitor-entry>");
    EXPECT_FALSE(entry.isLog());
    const Weekly* schedule = static_cast<const Weekly*>(entry.getFrequency());
    ASSERT_EQ(weekly, schedule->isA());
    EXPECT_EQ(sun, schedule->getDayOfWeek()) << "unknown day keeps the default";
    EXPECT_EQ(0, schedule->getEvery());
    EXPECT_EQ(6u, schedule->getTimeOfDay().getHour());
    EXPECT_EQ(5u, schedule->getTimeOfDay().getMinutes());
    ASSERT_EQ(1, entry.getActionTriggerListLength());
    EXPECT_EQ(singleValue, entry.getActionTrigger(0)->isA()) << "single-value wins over interval-value";
    EXPECT_EQ(instantaneous, entry.getActionTrigger(0)->getValueType());

    // Two actions: the limit of the first, the addresses and flags of both;
    // empty addresses are skipped and surrounding white space is dropped.
    std::unique_ptr<ActionTrigger> trigger(MonitoringConfiguration::parseActionTrigger(
        "<action-trigger value-type=\"minimum\" permanent=\"true\"><value-changes/>"
        "<action max-frequency=\" 30 \"><email>\n  a@x \n</email><email/><email>  </email><trap/></action>"
        "<action max-frequency=\"99\"><email>b@x</email><power-off-drive/></action></action-trigger>"));
    ASSERT_NE(nullptr, trigger);
    EXPECT_EQ(valueChanges, trigger->isA());
    EXPECT_EQ(minimum, trigger->getValueType());
    EXPECT_TRUE(trigger->isPermanent());
    Action action = trigger->getAction();
    EXPECT_EQ(30u, action.getMaxFrequency());
    ASSERT_EQ(2, action.getEmailListSize());
    EXPECT_EQ("a@x", action.getEmail(0));
    EXPECT_EQ("b@x", action.getEmail(1));
    EXPECT_TRUE(action.isTrap() && action.isPowerOffDrive());
    EXPECT_FALSE(action.isUdp() || action.isLog() || action.isShutdown());

    // Flags outside any action element count for nothing without an action.
    trigger.reset(MonitoringConfiguration::parseActionTrigger(
        "<action-trigger><single-value comparison=\"less\"/><log/><email>a@x</email></action-trigger>"));
    EXPECT_FALSE(trigger->getActionReference().isLog());
    EXPECT_EQ(0, trigger->getActionReference().getEmailListSize());
    EXPECT_EQ(greaterThan, static_cast<SingleValueTrigger*>(trigger.get())->getComparisonType());

    // Schedules: padded and digit-less seconds, empty seconds, unknown kinds, no frequency at all.
    auto scheduleOf = [](const std::string& frequency) {
        return MonitoringConfiguration::parseMonitorEntry("<monitor-entry>" + frequency + "</monitor-entry>");
    };
    EXPECT_EQ(42u, static_cast<const Seconds*>(scheduleOf("<frequency><seconds> 42 </seconds></frequency>")
                                                   .getFrequency())->getSeconds());
    EXPECT_EQ(0u, static_cast<const Seconds*>(scheduleOf("<frequency><seconds>soon</seconds></frequency>")
                                                  .getFrequency())->getSeconds());
    for (const char* noSchedule : {"<frequency><seconds/></frequency>", "<frequency><hourly/></frequency>",
                                   "<frequency/>", ""}) {
        MonitorEntry unscheduled = scheduleOf(noSchedule);
        EXPECT_EQ(nullptr, unscheduled.getFrequency()) << noSchedule;
        EXPECT_NE(std::string::npos, MonitoringConfiguration::generate(unscheduled).find("<frequency/>"));
    }
    Daily defaults = *static_cast<const Daily*>(scheduleOf("<frequency><daily/></frequency>").getFrequency());
    EXPECT_EQ(0, defaults.getEvery());
    EXPECT_EQ(0u, defaults.getTimeOfDay().getHour());
}

TEST_F(XmlTest, RefusedDocumentsThrowTheModelsMessages)
{
    EXPECT_EQ("A non instantaneous trigger cannot be added to an entry that's not logged",
              messageOf([] {
                  MonitoringConfiguration::parseMonitorEntry(
                      "<monitor-entry log=\"false\"><action-trigger value-type=\"average\"><value-changes/>"
                      "</action-trigger></monitor-entry>");
              }));
    EXPECT_EQ("hour is greater than 23", messageOf([] {
                  MonitoringConfiguration::parseMonitorEntry(
                      "<monitor-entry><frequency><daily><time-of-day hour=\"24\"/></daily></frequency></monitor-entry>");
              }));
    EXPECT_EQ("minutes are greater than 59", messageOf([] {
                  MonitoringConfiguration::parseMonitorEntry(
                      "<monitor-entry><frequency><weekly><time-of-day min=\"-1\"/></weekly></frequency></monitor-entry>");
              }));
    EXPECT_EQ(nullptr, MonitoringConfiguration::parseActionTrigger("<action-trigger><action/></action-trigger>"));
    EXPECT_EQ("NULL Trigger specified", messageOf([] {
                  MonitoringConfiguration::parseMonitorEntry(
                      "<monitor-entry><action-trigger><action/></action-trigger></monitor-entry>");
              }));

    // One refused entry fails the whole load.
    _root.write("bad.cfg", "<monitor-config><monitor-entry variable=\"a\"/><monitor-entry log=\"no\">"
                           "<action-trigger value-type=\"maximum\"><value-changes/></action-trigger>"
                           "</monitor-entry></monitor-config>");
    EXPECT_EQ("A non instantaneous trigger cannot be added to an entry that's not logged",
              messageOf([&] { MonitoringConfiguration::load(_root.at("bad.cfg")); }));

    // A missing file is an ordinary condition at start-up: it does not poison later parses.
    EXPECT_EQ("file to read not found", messageOf([&] { MonitoringConfiguration::load(_root.at("none.cfg")); }));
    EXPECT_EQ("file to read not found", messageOf([&] { MonitoringConfiguration::load(_root.path()); }));
    EXPECT_EQ("preset file not found", messageOf([&] { MonitoringConfiguration::loadPresets(_root.at("none.cfg")); }));
    EXPECT_FALSE(GetXMLErrorReporter()->getSawErrors());
    EXPECT_EQ(1u, MonitoringConfiguration::load(dataFile("layout-Monitor.cfg")).size());
}

TEST_F(XmlTest, ParserErrorFlagIsSticky)
{
    DOMTreeErrorReporter* reporter = GetXMLErrorReporter();
    testing::internal::CaptureStderr();
    reporter->warning(xercesc::SAXParseException(u"only a warning", u"", u"MonEntryParse", 1, 1));
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "warnings neither print nor count";
    EXPECT_FALSE(reporter->getSawErrors());
    EXPECT_EQ("v", MonitoringConfiguration::parseMonitorEntry("<monitor-entry variable=\"v\"/>").getVariableName());

    testing::internal::CaptureStderr();
    EXPECT_EQ("Parsing errors occurred",
              messageOf([] { MonitoringConfiguration::parseMonitorEntry("<monitor-entry variable=\"v\">"); }));
    std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, diagnostics.find("Fatal Error at file \"MonEntryParse\", line 1, column ")) << diagnostics;
    EXPECT_NE(std::string::npos, diagnostics.find("\n   Message: ")) << diagnostics;
    EXPECT_TRUE(reporter->getSawErrors());

    reporter->resetErrors();
    EXPECT_EQ("Parsing errors occurred",
              messageOf([] { MonitoringConfiguration::parseMonitorEntry("<monitor-entry variable=\"v\"/>"); }));
    EXPECT_EQ("Parsing errors occurred", messageOf([] { MonitoringConfiguration::load(dataFile("layout-Monitor.cfg")); }));

    EXPECT_EQ("", MonitoringException().getMessage());
    EXPECT_EQ("wide text", MonitoringException(u"wide text").getMessage());
}

// Watches a file for being opened or read while a parse runs.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : _fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(_fd, path.c_str(), IN_OPEN | IN_ACCESS);
    }
    ~OpenWatch() { close(_fd); }
    bool touched() const
    {
        char buffer[4096];
        return read(_fd, buffer, sizeof buffer) > 0;
    }

private:
    int _fd;
};

TEST_F(XmlTest, HostileDocumentsReadNoFileAndStayBounded)
{
    std::string secret = _root.at("secret.txt");
    _root.write("secret.txt", "top secret");
    OpenWatch watch(secret);

    const std::vector<std::string> external = {
        "<!DOCTYPE monitor-entry [<!ENTITY s SYSTEM \"file://" + secret + "\">]>"
        "<monitor-entry variable=\"v\"><action-trigger><value-changes/><action><email>&s;</email></action>"
        "</action-trigger></monitor-entry>",
        "<!DOCTYPE monitor-entry [<!ENTITY s SYSTEM \"" + secret + "\">]><monitor-entry>&s;</monitor-entry>",
        "<!DOCTYPE monitor-entry [<!ENTITY % p SYSTEM \"" + secret + "\"> %p;]><monitor-entry/>",
    };
    for (const std::string& document : external) {
        SCOPED_TRACE(document);
        testing::internal::CaptureStderr();
        EXPECT_EQ("Parsing errors occurred", messageOf([&] { MonitoringConfiguration::parseMonitorEntry(document); }));
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(watch.touched());
        resetXMLErrorsForTest();
    }
    // An external DTD is never fetched; the document itself is fine.
    EXPECT_EQ("v", MonitoringConfiguration::parseMonitorEntry("<!DOCTYPE monitor-entry SYSTEM \"" + secret +
                                                               "\"><monitor-entry variable=\"v\"/>")
                       .getVariableName());
    EXPECT_FALSE(watch.touched());

    // Ten levels of ten: 10^10 characters if expanded.
    std::string bomb = "<!DOCTYPE monitor-entry [<!ENTITY e0 \"0123456789\">";
    for (int level = 1; level < 10; ++level) {
        std::string previous = "&e" + std::to_string(level - 1) + ";";
        std::string body;
        for (int i = 0; i < 10; ++i) {
            body += previous;
        }
        bomb += "<!ENTITY e" + std::to_string(level) + " \"" + body + "\">";
    }
    bomb += "]>";
    for (const std::string& use : {std::string("<monitor-entry>&e9;</monitor-entry>"),
                                   std::string("<monitor-entry variable=\"&e9;\"/>")}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ("Parsing errors occurred", messageOf([&] { MonitoringConfiguration::parseMonitorEntry(bomb + use); }));
        testing::internal::GetCapturedStderr();
        resetXMLErrorsForTest();
    }

    // Internal entities and many escaped characters stay usable.
    std::string manyEscapes;
    for (int i = 0; i < 5000; ++i) {
        manyEscapes += "&amp;&lt;";
    }
    MonitorEntry escaped = MonitoringConfiguration::parseMonitorEntry(
        "<!DOCTYPE monitor-entry [<!ENTITY n \"net\">]><monitor-entry variable=\"&n;" + manyEscapes + "\"/>");
    EXPECT_EQ(3u + 2 * 5000, escaped.getVariableName().size());
    EXPECT_EQ("net&<", escaped.getVariableName().substr(0, 5));
}

TEST_F(XmlTest, PresetCatalogue)
{
    xercesc::DOMNodeList* presets = MonitoringConfiguration::loadPresets(dataFile("PresetTriggers.cfg"));
    ASSERT_NE(nullptr, presets);
    ASSERT_EQ(4u, presets->getLength());
    std::vector<std::string> names;
    for (XMLSize_t i = 0; i < presets->getLength(); ++i) {
        names.push_back(toNarrow(static_cast<xercesc::DOMElement*>(presets->item(i))->getAttribute(u"name")));
    }
    EXPECT_EQ((std::vector<std::string>{"cpu-load", "disk-temp & fan", "disk-errors", "fan-speed"}), names);

    std::string first = MonitoringConfiguration::generatePreset(presets->item(0));
    EXPECT_EQ("<preset-variable name=\"cpu-load\" unit=\"%\">\n"
              "    <action-trigger value-type=\"average\" permanent=\"false\">\n"
              "      <single-value comparison=\"greater-than\" value=\"90\"/>\n"
              "    </action-trigger>\n"
              "  </preset-variable>",
              first);
    EXPECT_EQ(first, MonitoringConfiguration::generatePreset(presets->item(0)));
    EXPECT_EQ("<preset-variable name=\"disk-temp &amp; fan\" unit=\"&lt;C>\"/>",
              MonitoringConfiguration::generatePreset(presets->item(1)));
    EXPECT_EQ("<preset-variable name=\"disk-errors\">any change</preset-variable>",
              MonitoringConfiguration::generatePreset(presets->item(2)));
    EXPECT_EQ("<preset-variable name=\"fan-speed\"/>", MonitoringConfiguration::generatePreset(presets->item(3)));

    // Generating other documents in between leaves the kept catalogue intact.
    MonitoringConfiguration::generate(layoutEntry());
    EXPECT_EQ(first, MonitoringConfiguration::generatePreset(presets->item(0)));

    _root.write("none.cfg", "<presets><group/></presets>");
    EXPECT_EQ(0u, MonitoringConfiguration::loadPresets(_root.at("none.cfg"))->getLength());
    EXPECT_EQ("NULL Preset specified", messageOf([] { MonitoringConfiguration::generatePreset(nullptr); }));
}

std::vector<std::string> filesIn(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* item = readdir(dir)) {
            std::string name = item->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    return names;
}

TEST_F(XmlTest, SaveReplacesTheFileWholeOrNotAtAll)
{
    std::string path = configPath();
    std::string directory = _root.at("etc/configs/monitor");
    _root.write("etc/configs/monitor/Monitor.cfg", "old");
    chmod(path.c_str(), 0640);
    MonitoringConfiguration::save({layoutEntry()}, path);
    EXPECT_EQ(zortest::readFile(dataFile("layout-Monitor.cfg")), zortest::readFile(path));
    struct stat status {};
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777) << "a replaced file keeps its permissions";
    EXPECT_EQ(std::vector<std::string>{"Monitor.cfg"}, filesIn(directory));

    // A folder cannot be replaced: it stays as it was and no temporary file is left.
    _root.write("etc/configs/monitor/Busy.cfg/keep", "kept");
    EXPECT_EQ("cannot open file for writing",
              messageOf([&] { MonitoringConfiguration::save({layoutEntry()}, directory + "/Busy.cfg"); }));
    EXPECT_EQ("kept", zortest::readFile(directory + "/Busy.cfg/keep"));
    EXPECT_EQ(2u, filesIn(directory).size());

    EXPECT_EQ("cannot open file for writing",
              messageOf([&] { MonitoringConfiguration::save({}, _root.at("missing/Monitor.cfg")); }));
    EXPECT_EQ(zortest::readFile(dataFile("layout-Monitor.cfg")), zortest::readFile(path));
}

} // namespace
