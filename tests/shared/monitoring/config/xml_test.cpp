// Reading, writing and printing configuration documents, the preset
// catalogue, the parser's error flag and its defences against hostile input.
#include "configTestSupport.h"
#include "hostparse.h"
#include "xmlenvironment.h"
#include "zortest.h"

#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include <filesystem>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace configtest;
using Config = MonitoringConfiguration;

namespace {

// The XML platform starts once for the whole binary, as the module's store
// starts it before its first load.
class XmlEnvironment : public testing::Environment {
public:
    void SetUp() override { Config::initialize(); }
    void TearDown() override { Config::terminate(); }
};
testing::Environment* const gXmlEnvironment = testing::AddGlobalTestEnvironment(new XmlEnvironment);

const std::string kLayoutFile = std::string(ZOR_TEST_DATA) + "/monitoring/layout-Monitor.cfg";

// Every test starts with a clean parser error flag, whatever ran before it.
class XmlTest : public testing::Test {
protected:
    void SetUp() override { resetXMLErrorsForTest(); }
    void TearDown() override { resetXMLErrorsForTest(); }
    zortest::TempRoot root;
};

MonitorEntry layoutEntry()
{
    Seconds everyMinute;
    everyMinute.setSeconds(60);
    MonitorEntry entry(true, "cpu-load", &everyMinute);
    SingleValueTrigger above;
    above.setValueType(average);
    above.setValue("50");
    above.getActionReference().setMaxFrequency(3600);
    above.getActionReference().setLog(true);
    entry.addActionTrigger(&above);
    return entry;
}

// Every schedule kind and none, every trigger kind, value type and flag,
// several addresses, and text that needs escaping, each entry as the writer
// renders it: read and rendered again, it must come out byte for byte.
const std::vector<std::string> kRichEntries = {
    R"(<monitor-entry variable="cpu &amp; &lt;load> &quot;1&quot; température" log="true"><frequency><seconds>60)"
    R"(</seconds></frequency><action-trigger value-type="average" permanent="false"><single-value )"
    R"(comparison="greater-than" value="a&lt;b &amp; c>d&#9;x"/><action max-frequency="3600"><email>ops@example.com)"
    R"(</email><email>pager&amp;1@example.com</email><email>&lt;boss&gt;@example.com</email><shutdown/><trap/><udp/>)"
    R"(<log/><power-off-drive/></action></action-trigger><action-trigger value-type="minimum" permanent="false">)"
    R"(<interval-value low-value="1" high-value="2 &amp; 3" inside-outside-range="outside"/><action )"
    R"(max-frequency="0"><udp/></action></action-trigger><action-trigger value-type="maximum" permanent="true">)"
    R"(<value-changes/><action max-frequency="0"/></action-trigger></monitor-entry>)",
    R"(<monitor-entry variable="fan" log="false"><frequency><weekly every="2" day-of-week="fri"><time-of-day )"
    R"(hour="6" min="30"/></weekly></frequency><action-trigger value-type="instantaneous" permanent="false">)"
    R"(<single-value comparison="not-equals" value=""/><action max-frequency="0"/></action-trigger></monitor-entry>)",
    R"(<monitor-entry variable="disk" log="true"><frequency><daily every="3"><time-of-day hour="7" min="05"/>)"
    R"(</daily></frequency><action-trigger value-type="instantaneous" permanent="true"><interval-value )"
    R"(low-value="-5" high-value="5" inside-outside-range="inside"/><action max-frequency="0"><email>)"
    R"(disk@example.com</email></action></action-trigger></monitor-entry>)",
    R"(<monitor-entry variable="events" log="true"><frequency><asynchronous/></frequency></monitor-entry>)",
    R"(<monitor-entry variable="unscheduled" log="true"><frequency/><action-trigger value-type="average" )"
    R"(permanent="false"><single-value comparison="less-than" value=""/><action max-frequency="0"/>)"
    R"(</action-trigger><action-trigger value-type="instantaneous" permanent="false"><single-value )"
    R"(comparison="equals" value="ok"/><action max-frequency="0"/></action-trigger></monitor-entry>)"};

TEST_F(XmlTest, SavedBytesOfTheLayoutExampleAndOfAnEmptyConfiguration)
{
    const std::string path = root.at("Monitor.cfg");
    Config::save({layoutEntry()}, path);
    EXPECT_EQ(zortest::readFile(kLayoutFile), zortest::readFile(path));
    Config::save({}, path);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<monitor-config/>\n\n", zortest::readFile(path));

    std::vector<MonitorEntry> loaded = Config::load(kLayoutFile);
    ASSERT_EQ(1u, loaded.size());
    EXPECT_EQ(describe(layoutEntry()), describe(loaded[0]));
}

TEST_F(XmlTest, RichEntriesRenderByteForByteAndSurviveSaveLoadCycles)
{
    std::vector<MonitorEntry> entries;
    for (const std::string& text : kRichEntries) {
        entries.push_back(Config::parseMonitorEntry(text));
        EXPECT_EQ(text, Config::generate(entries.back()));
        for (int i = 0; i < entries.back().getActionTriggerListLength(); ++i) {
            const ActionTrigger* trigger = entries.back().getActionTrigger(static_cast<unsigned int>(i));
            std::unique_ptr<ActionTrigger> parsed(Config::parseActionTrigger(Config::generate(trigger)));
            EXPECT_EQ(describe(trigger), describe(parsed.get()));
        }
    }
    EXPECT_EQ("NULL Trigger specified", messageOf([] { Config::generate(nullptr); }));

    // The file form: its own layout, the same escapes, and stable over cycles.
    const std::string path = root.at("Monitor.cfg");
    Config::save(entries, path);
    const std::string first = zortest::readFile(path);
    for (const char* expected : {"variable=\"cpu &amp; &lt;load> &quot;1&quot; temp\xC3\xA9rature\"",
                                 "\n<email>\npager&amp;1@example.com\n</email>\n", "<frequency/>",
                                 "<time-of-day hour=\"7\" min=\"05\"/>"}) {
        EXPECT_NE(std::string::npos, first.find(expected)) << expected;
    }
    std::vector<MonitorEntry> loaded = Config::load(path);
    ASSERT_EQ(entries.size(), loaded.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(describe(entries[i]), describe(loaded[i]));
    }
    Config::save(loaded, path);
    EXPECT_EQ(first, zortest::readFile(path));
    Config::save(Config::load(path), path);
    EXPECT_EQ(first, zortest::readFile(path));
}

TEST_F(XmlTest, ReaderIsLenientAndFallsBackToDefaults)
{
    // Any root name; a bare entry document as a file yields nothing.
    root.write("other.cfg", "<config><monitor-entry variable=\"x\" log=\"true\"/></config>");
    root.write("bare.cfg", "<monitor-entry variable=\"x\" log=\"true\"/>");
    EXPECT_EQ(1u, Config::load(root.at("other.cfg")).size());
    EXPECT_EQ(0u, Config::load(root.at("bare.cfg")).size());

    MonitorEntry entry = Config::parseMonitorEntry(
        "<monitor-entry variable=\"v\" log=\"TRUE\"><frequency><!-- first element counts -->"
        "<weekly every=\"x3\" day-of-week=\"Mon\"><time-of-day hour=\" 6\" min=\"5min\"/></weekly></frequency>"
        "<action-trigger value-type=\"Average\"><single-value value=\"1\"/><interval-value/></action-trigger>"
        "</monitor-entry>");
    // Unknown words keep the defaults, numbers are read as far as they go,
    // and single-value wins over interval-value.
    EXPECT_EQ("log: 0\nvariable: v\ntime of day: 6:05\nevery: 0\nday of week: 0\n*absolute*\npermanent: 0\n  udp: 0\n"
              "  trap: 0\n  shutdown: 0\n  log: 0\n  power off drive: 0\n  email: \n\nexceeds 1\n",
              dump([&] { entry.print(); }));

    // Two actions: the limit of the first, the addresses and flags of both;
    // empty addresses are skipped and surrounding white space is dropped.
    std::unique_ptr<ActionTrigger> trigger(Config::parseActionTrigger(
        "<action-trigger value-type=\"minimum\" permanent=\"true\"><value-changes/>"
        "<action max-frequency=\" 30 \"><email>\n  a@x \n</email><email/><email>  </email><trap/></action>"
        "<action max-frequency=\"99\"><email>b@x</email><power-off-drive/></action></action-trigger>"));
    EXPECT_EQ("changed\n  udp: 0\n  trap: 1\n  shutdown: 0\n  log: 0\n  power off drive: 1\n  email: \n    a@x    b@x\n"
              "kind 2, type 2, permanent 1, max 30\n",
              describe(trigger.get()));
    // Flags outside any action element count for nothing.
    trigger.reset(Config::parseActionTrigger(
        "<action-trigger><single-value comparison=\"less\"/><log/><email>a@x</email></action-trigger>"));
    SingleValueTrigger defaults;
    EXPECT_EQ(describe(&defaults), describe(trigger.get()));

    // Schedules: padded and digit-less seconds; empty seconds, unknown kinds
    // or no frequency at all read as no schedule and write an empty element.
    auto scheduleOf = [](const std::string& frequency) {
        return Config::parseMonitorEntry("<monitor-entry>" + frequency + "</monitor-entry>");
    };
    EXPECT_EQ(" seconds: 42\n", dump([&] { scheduleOf("<frequency><seconds> 42 </seconds></frequency>").getFrequency()->print(); }));
    EXPECT_EQ(" seconds: 0\n", dump([&] { scheduleOf("<frequency><seconds>soon</seconds></frequency>").getFrequency()->print(); }));
    for (const char* noSchedule : {"<frequency><seconds/></frequency>", "<frequency><hourly/></frequency>", ""}) {
        MonitorEntry unscheduled = scheduleOf(noSchedule);
        EXPECT_EQ(nullptr, unscheduled.getFrequency()) << noSchedule;
        EXPECT_NE(std::string::npos, Config::generate(unscheduled).find("<frequency/>"));
    }

    // Out-of-range numbers saturate at the field's own range (a negative one
    // in an unsigned field is its two's-complement value), so whatever the
    // writer prints reads back as the same number.
    for (auto [given, written] : std::vector<std::pair<std::string, std::string>>{
             {"-960948496", "3334018800"}, {"99999999999", "4294967295"}, {"-99999999999", "2147483648"}}) {
        std::unique_ptr<ActionTrigger> limited(Config::parseActionTrigger(
            "<action-trigger><value-changes/><action max-frequency=\"" + given + "\"/></action-trigger>"));
        const std::string text = Config::generate(limited.get());
        EXPECT_NE(std::string::npos, text.find("max-frequency=\"" + written + "\"")) << text;
        std::unique_ptr<ActionTrigger> again(Config::parseActionTrigger(text));
        EXPECT_EQ(text, Config::generate(again.get()));
    }
    EXPECT_EQ(" seconds: 4294967295\n",
              dump([&] { scheduleOf("<frequency><seconds>-1</seconds></frequency>").getFrequency()->print(); }));
    EXPECT_EQ(2147483647, dynamic_cast<const Daily&>(*scheduleOf("<frequency><daily every=\"3000000000\"/></frequency>")
                                                            .getFrequency())
                              .getEvery());
}

TEST_F(XmlTest, RefusedDocumentsThrowTheModelsMessages)
{
    const std::string rule = "A non instantaneous trigger cannot be added to an entry that's not logged";
    for (auto [document, message] : std::initializer_list<std::pair<std::string, std::string>>{
             {"<monitor-entry log=\"false\"><action-trigger value-type=\"average\"><value-changes/></action-trigger>"
              "</monitor-entry>", rule},
             {"<monitor-entry><frequency><daily><time-of-day hour=\"24\"/></daily></frequency></monitor-entry>",
              "hour is greater than 23"},
             {"<monitor-entry><frequency><weekly><time-of-day min=\"-1\"/></weekly></frequency></monitor-entry>",
              "minutes are greater than 59"},
             {"<monitor-entry><action-trigger><action/></action-trigger></monitor-entry>", "NULL Trigger specified"}}) {
        EXPECT_EQ(message, messageOf([&] { Config::parseMonitorEntry(document); }));
    }
    EXPECT_EQ(nullptr, Config::parseActionTrigger("<action-trigger><action/></action-trigger>"));

    // One refused entry fails the whole load.
    root.write("bad.cfg", "<monitor-config><monitor-entry variable=\"a\"/><monitor-entry log=\"no\">"
                          "<action-trigger value-type=\"maximum\"><value-changes/></action-trigger></monitor-entry></monitor-config>");
    EXPECT_EQ(rule, messageOf([&] { Config::load(root.at("bad.cfg")); }));

    // A missing file is an ordinary condition at start-up: it does not poison later parses.
    EXPECT_EQ("file to read not found", messageOf([&] { Config::load(root.at("none.cfg")); }));
    EXPECT_EQ("file to read not found", messageOf([&] { Config::load(root.path()); }));
    EXPECT_EQ("preset file not found", messageOf([&] { Config::loadPresets(root.at("none.cfg")); }));
    EXPECT_FALSE(GetXMLErrorReporter()->getSawErrors());
    EXPECT_EQ(1u, Config::load(kLayoutFile).size());
}

// The flag is never cleared by the library: one broken document makes every
// later parse fail until the process restarts.
TEST_F(XmlTest, ParserErrorFlagIsSticky)
{
    DOMTreeErrorReporter* reporter = GetXMLErrorReporter();
    testing::internal::CaptureStderr();
    reporter->warning(xercesc::SAXParseException(u"only a warning", u"", u"MonEntryParse", 1, 1));
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "warnings neither print nor count";
    EXPECT_FALSE(reporter->getSawErrors());

    testing::internal::CaptureStderr();
    EXPECT_EQ("Parsing errors occurred", messageOf([] { Config::parseMonitorEntry("<monitor-entry variable=\"v\">"); }));
    std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, diagnostics.find("Fatal Error at file \"MonEntryParse\", line 1, column ")) << diagnostics;
    EXPECT_NE(std::string::npos, diagnostics.find("\n   Message: ")) << diagnostics;

    reporter->resetErrors();
    EXPECT_EQ("Parsing errors occurred", messageOf([] { Config::parseMonitorEntry("<monitor-entry variable=\"v\"/>"); }));
    EXPECT_EQ("Parsing errors occurred", messageOf([] { Config::load(kLayoutFile); }));

    // A host-side read has an environment of its own: the raised flag does
    // not reach it, its own refusal names the parser's reason, and it leaves
    // nothing behind for the next one.
    EXPECT_EQ("v", hostparse::entry("<monitor-entry variable=\"v\"/>")->getVariableName());
    zor::Expected<MonitorEntry> broken = hostparse::entry("<monitor-entry variable=\"v\">");
    ASSERT_FALSE(broken);
    EXPECT_EQ(0u, broken.error().find("line 1, column ")) << broken.error();
    EXPECT_TRUE(hostparse::trigger("<action-trigger><value-changes/></action-trigger>"));
    resetXMLErrorsForTest();
    EXPECT_FALSE(hostparse::trigger("<action-trigger>"));
    EXPECT_FALSE(reporter->getSawErrors());
}

TEST_F(XmlTest, HostileDocumentsReadNoFileAndStayBounded)
{
    const std::string secret = root.at("secret.txt");
    root.write("secret.txt", "top secret");
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_LE(0, inotify_add_watch(watch, secret.c_str(), IN_OPEN | IN_ACCESS));
    char events[4096];

    // Entity bombs and file:// entities are refused through the module by
    // bad_input_test; here: no form of external entity opens the file.
    for (const std::string& document :
         {"<!DOCTYPE monitor-entry [<!ENTITY s SYSTEM \"" + secret + "\">]><monitor-entry>&s;</monitor-entry>",
          "<!DOCTYPE monitor-entry [<!ENTITY % p SYSTEM \"" + secret + "\"> %p;]><monitor-entry/>"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ("Parsing errors occurred", messageOf([&] { Config::parseMonitorEntry(document); })) << document;
        testing::internal::GetCapturedStderr();
        resetXMLErrorsForTest();
    }
    // An external DTD is never fetched; the document itself is fine.
    EXPECT_EQ("v", Config::parseMonitorEntry("<!DOCTYPE monitor-entry SYSTEM \"" + secret +
                                             "\"><monitor-entry variable=\"v\"/>").getVariableName());
    EXPECT_GT(0, read(watch, events, sizeof events)) << "the local file was opened";
    close(watch);

    // Internal entities and many escaped characters stay usable.
    std::string manyEscapes;
    for (int i = 0; i < 5000; ++i) {
        manyEscapes += "&amp;&lt;";
    }
    std::string name = Config::parseMonitorEntry("<!DOCTYPE monitor-entry [<!ENTITY n \"net\">]><monitor-entry variable=\"&n;" +
                                                 manyEscapes + "\"/>").getVariableName();
    EXPECT_EQ(3u + 2 * 5000, name.size());
    EXPECT_EQ("net&<", name.substr(0, 5));
}

// What the reader refuses or skips so that nothing it accepts goes wrong
// later: a document that is not XML 1.0, an entity expansion beyond the size
// bound, and comments or processing instructions where a value is read.
TEST_F(XmlTest, OnlyXml10WithBoundedEntitiesAndValuesFromTextOnly)
{
    const std::string entity(100 * 1024, 'x');
    std::string references;
    for (int i = 0; i < 999; ++i) {
        references += "&e;";
    }
    const std::string bombType = "<!DOCTYPE monitor-entry [<!ENTITY e \"" + entity + "\">]>";
    const std::string entryText = "<monitor-entry variable=\"v\" log=\"true\"><frequency><seconds>5</seconds>"
                                  "</frequency></monitor-entry>";
    struct Refused {
        const char* what;
        std::string document;
    };
    for (const Refused& refused : std::vector<Refused>{
             {"XML 1.1", "<?xml version=\"1.1\"?><monitor-entry variable=\"a&#1;b\"/>"},
             {"XML 1.1 without control characters", "<?xml version=\"1.1\" encoding=\"UTF-8\"?>" + entryText},
             {"XML 2.0", "<?xml version=\"2.0\"?>" + entryText},
             {"a control character in 1.0", "<monitor-entry variable=\"a&#1;b\"/>"},
             {"a wide bomb in text", bombType + "<monitor-entry variable=\"v\">" + references + "</monitor-entry>"},
             {"a wide bomb in an attribute", bombType + "<monitor-entry variable=\"" + references + "\"/>"}}) {
        SCOPED_TRACE(refused.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ("Parsing errors occurred", messageOf([&] { Config::parseMonitorEntry(refused.document); }));
        EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("Fatal Error at file \"MonEntryParse\", line 1"));
        resetXMLErrorsForTest();
    }
    // A declared 1.0 document and an entity below the bound still read.
    EXPECT_EQ("v", Config::parseMonitorEntry("<?xml version=\"1.0\"?>" + entryText).getVariableName());
    const std::string smallType = "<!DOCTYPE monitor-entry [<!ENTITY e \"" + entity.substr(0, 1024) + "\">]>";
    EXPECT_EQ(1024u * 999, Config::parseMonitorEntry(smallType + "<monitor-entry variable=\"" + references + "\"/>")
                               .getVariableName()
                               .size());

    // Comments and processing instructions inside a value are skipped.
    MonitorEntry entry = Config::parseMonitorEntry(
        "<monitor-entry variable=\"v\"><frequency><seconds><!--60-->3<?pi 9?>0</seconds></frequency>"
        "<action-trigger><value-changes/><action><email><!--old@example.com--></email>"
        "<email><?skip x@y?>new@<![CDATA[example.com]]></email></action></action-trigger></monitor-entry>");
    ASSERT_EQ(seconds, entry.getFrequency()->isA());
    EXPECT_EQ(30u, static_cast<const Seconds*>(entry.getFrequency())->getSeconds());
    const Action& action = entry.getActionTrigger(0)->getActionReference();
    ASSERT_EQ(1, action.getEmailListSize());
    EXPECT_EQ("new@example.com", action.getEmail(0));
    EXPECT_EQ(nullptr, Config::parseMonitorEntry("<monitor-entry><frequency><seconds><!--60--></seconds></frequency>"
                                                 "</monitor-entry>")
                           .getFrequency());
}

TEST_F(XmlTest, PresetCatalogue)
{
    xercesc::DOMNodeList* presets = Config::loadPresets(std::string(ZOR_TEST_DATA) + "/monitoring/PresetTriggers.cfg");
    ASSERT_NE(nullptr, presets);
    ASSERT_EQ(4u, presets->getLength()); // nested in groups or not
    const std::string first = "<preset-variable name=\"cpu-load\" unit=\"%\">\n"
                              "    <action-trigger value-type=\"average\" permanent=\"false\">\n"
                              "      <single-value comparison=\"greater-than\" value=\"90\"/>\n"
                              "    </action-trigger>\n"
                              "  </preset-variable>";
    EXPECT_EQ(first, Config::generatePreset(presets->item(0)));
    EXPECT_EQ("<preset-variable name=\"disk-temp &amp; fan\" unit=\"&lt;C>\"/>", Config::generatePreset(presets->item(1)));
    EXPECT_EQ("<preset-variable name=\"disk-errors\">any change</preset-variable>", Config::generatePreset(presets->item(2)));
    // Parsing and generating other documents in between leaves the kept catalogue intact.
    Config::generate(Config::parseMonitorEntry(Config::generate(layoutEntry())));
    EXPECT_EQ(first, Config::generatePreset(presets->item(0)));

    root.write("none.cfg", "<presets><group/></presets>");
    EXPECT_EQ(0u, Config::loadPresets(root.at("none.cfg"))->getLength());
    EXPECT_EQ("NULL Preset specified", messageOf([] { Config::generatePreset(nullptr); }));
}

TEST_F(XmlTest, SaveReplacesTheFileWholeOrNotAtAll)
{
    const std::string path = root.at("Monitor.cfg");
    root.write("Monitor.cfg", "old");
    chmod(path.c_str(), 0640);
    // A link to the old file: a writer that rewrites the file in place, which a
    // crash could leave half written, changes what the link shows.
    ASSERT_EQ(0, link(path.c_str(), root.at("old-link").c_str()));
    Config::save({layoutEntry()}, path);
    EXPECT_EQ(zortest::readFile(kLayoutFile), zortest::readFile(path));
    EXPECT_EQ("old", zortest::readFile(root.at("old-link")));
    struct stat status {};
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777) << "a replaced file keeps its permissions";

    // A folder cannot be replaced: it stays as it was and no temporary file is left.
    root.write("Busy.cfg/keep", "kept");
    EXPECT_EQ("cannot open file for writing", messageOf([&] { Config::save({layoutEntry()}, root.at("Busy.cfg")); }));
    EXPECT_EQ("kept", zortest::readFile(root.at("Busy.cfg/keep")));
    EXPECT_EQ(3, std::distance(std::filesystem::directory_iterator(root.path()), std::filesystem::directory_iterator()));
    EXPECT_EQ("cannot open file for writing", messageOf([&] { Config::save({}, root.at("missing/Monitor.cfg")); }));
}

} // namespace
