// The SAX2 reader and the direct writer against the DOM reader and the
// printer, and the bounds of the reader: nesting, file size, memory.
#include "configTestSupport.h"
#include "configoracle.h"
#include "configreader.h"
#include "xmlenvironment.h"
#include "xmlwriter.h"
#include "zortest.h"

#include <filesystem>
#include <fcntl.h>
#include <random>
#include <unistd.h>

using namespace configtest;
using namespace std::string_literals;
using Config = MonitoringConfiguration;

namespace {

class StreamingTest : public testing::Test {
protected:
    void SetUp() override { resetXMLErrorsForTest(); }
    void TearDown() override { resetXMLErrorsForTest(); }
    zortest::TempRoot root;
};

// What a read gives, as one text: the entries or the failure.
template <typename Read>
std::string outcome(Read read)
{
    resetXMLErrorsForTest();
    try {
        std::string text;
        for (const MonitorEntry& entry : read()) {
            text += describe(entry);
        }
        return text;
    } catch (const MonitoringException& failure) {
        return "failed: " + failure.getMessage();
    }
}

// Random entries of every kind, with text that needs escaping, text beyond
// ASCII, bytes that are not UTF-8, and (where the document need not parse
// again) control characters and NULs.
std::vector<MonitorEntry> generatedEntries(int count, bool controls)
{
    std::mt19937 random(7);
    std::vector<std::string> texts = {"", "cpu", "a&b<c>d\"e'f", "t\tl\nc\rx", "temp\xC3\xA9rature", "bad\xFF\xFE",
                                            "nul\0after"s, "\x01\x1F", "\xE2\x82\xAC 5", "  spaced  ", "cut\0\xC3\xA9"s};
    if (!controls) {
        texts.erase(texts.begin() + 7); // control characters XML 1.0 cannot hold
    }
    auto text = [&] { return texts[random() % texts.size()]; };
    std::vector<MonitorEntry> entries;
    for (int i = 0; i < count; ++i) {
        const bool log = random() % 2 == 0;
        MonitorEntry entry(log, text() + std::to_string(i), std::unique_ptr<Frequency>(new Asynchronous).get());
        switch (random() % 5) {
        case 0: {
            Seconds schedule;
            schedule.setSeconds(static_cast<unsigned int>(random()));
            entry.setFrequency(&schedule);
            break;
        }
        case 1: {
            Daily schedule;
            schedule.setEvery(static_cast<int>(random()) - 5);
            TimeOfDay time;
            time.setHour(random() % 24);
            time.setMinutes(random() % 60);
            schedule.setTimeOfDay(time);
            entry.setFrequency(&schedule);
            break;
        }
        case 2: {
            Weekly schedule;
            schedule.setDayOfWeek(static_cast<DayOfWeek>(random() % 7));
            schedule.setEvery(3);
            entry.setFrequency(&schedule);
            break;
        }
        case 3:
            entry = MonitorEntry();
            entry.setLog(log);
            entry.setVariableName(text());
            break;
        }
        for (int t = static_cast<int>(random() % 4); t > 0; --t) {
            std::unique_ptr<ActionTrigger> trigger;
            switch (random() % 3) {
            case 0: {
                auto single = std::make_unique<SingleValueTrigger>();
                single->setComparisonType(static_cast<TriggerComparisonType>(random() % 4));
                single->setValue(text());
                trigger = std::move(single);
                break;
            }
            case 1: {
                auto interval = std::make_unique<IntervalValueTrigger>();
                interval->setLowValue(text());
                interval->setHighValue(text());
                interval->setIntervalType(random() % 2 == 0 ? inside : outside);
                trigger = std::move(interval);
                break;
            }
            default:
                trigger = std::make_unique<ValueChangesTrigger>();
            }
            trigger->setValueType(log ? static_cast<TriggerValueType>(random() % 4) : instantaneous);
            trigger->setPermanent(random() % 2 == 0);
            Action& action = trigger->getActionReference();
            action.setMaxFrequency(static_cast<unsigned int>(random() % 5000));
            for (int e = static_cast<int>(random() % 3); e > 0; --e) {
                action.addEmail(text() + "@example.com");
            }
            action.setTrap(random() % 2 == 0);
            action.setUdp(random() % 2 == 0);
            action.setLog(random() % 2 == 0);
            action.setPowerOffDrive(random() % 3 == 0);
            SetShutdown(random() % 4 == 0, action);
            entry.addActionTrigger(trigger.get());
        }
        entries.push_back(entry);
    }
    return entries;
}

} // namespace

TEST_F(StreamingTest, DirectWriterAndSaxReaderMatchThePrinterAndTheDomReader)
{
    const std::vector<MonitorEntry> entries = generatedEntries(300, true);
    for (const MonitorEntry& entry : entries) {
        ASSERT_EQ(configoracle::generate(entry), Config::generate(entry)) << describe(entry);
        for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
            const ActionTrigger* trigger = entry.getActionTrigger(static_cast<unsigned int>(i));
            ASSERT_EQ(configoracle::generate(trigger), Config::generate(trigger));
        }
    }
    ASSERT_EQ(configoracle::document(entries), xmlwriter::document(entries));
    EXPECT_EQ(configoracle::document({}), xmlwriter::document({}));
    const std::vector<MonitorEntry> readable = generatedEntries(300, false);
    const std::string document = xmlwriter::document(readable);
    ASSERT_EQ(configoracle::document(readable), document);
    const std::string loaded = outcome([&] { return Config::loadText(document); });
    EXPECT_EQ(outcome([&] { return configoracle::load(document); }), loaded);
    EXPECT_EQ(0u, loaded.find("log: ")) << loaded.substr(0, 200);

    // Every corpus document and test configuration, read whole and as one
    // entry, and entries in every place of the tree: nested in another,
    // deeper down, the root itself, and a refused one among them.
    std::vector<std::string> documents = {
        "<c><monitor-entry variable=\"1\"><monitor-entry variable=\"2\"/></monitor-entry><monitor-entry "
        "variable=\"3\"/><x><monitor-entry variable=\"4\"><frequency><seconds>5</seconds></frequency>"
        "</monitor-entry></x></c>",
        "<monitor-entry variable=\"root\"><monitor-entry variable=\"child\"/></monitor-entry>",
        "<c><monitor-entry variable=\"ok\"/><monitor-entry variable=\"bad\"><action-trigger/></monitor-entry>"
        "<monitor-entry variable=\"never\"/></c>",
        "<c><monitor-entry variable=\"a\"/><monitor-entry variable=\"b\"></c>",
        "<c><monitor-entry><frequency><seconds><![CDATA[]]></seconds></frequency></monitor-entry></c>"};
    for (const char* folder : {ZOR_XML_CORPUS, ZOR_TEST_DATA "/monitoring"}) {
        for (const auto& file : std::filesystem::directory_iterator(folder)) {
            documents.push_back(zortest::readFile(file.path()));
        }
    }
    testing::internal::CaptureStderr();
    for (const std::string& text : documents) {
        EXPECT_EQ(outcome([&] { return configoracle::load(text); }), outcome([&] { return Config::loadText(text); }))
            << text;
        EXPECT_EQ(outcome([&] { return std::vector<MonitorEntry>{configoracle::parseMonitorEntry(text)}; }),
                  outcome([&] { return std::vector<MonitorEntry>{Config::parseMonitorEntry(text)}; }))
            << text;
    }
    testing::internal::GetCapturedStderr();
    resetXMLErrorsForTest();
    EXPECT_EQ("failed: NULL Trigger specified", outcome([&] { return Config::loadText(documents[2]); }));
    EXPECT_EQ("monitor-entry 2 (variable \"bad\"): NULL Trigger specified", Config::lastLoadFailure());
}

// Deep nesting reads as any document; a file beyond the size bound and a
// request beyond the parser's memory are refused with their reason, and the
// reader works for the next document.
TEST_F(StreamingTest, DeepFilesReadAndBoundsRefuseTheDocument)
{
    auto nested = [](int levels, const std::string& inner) {
        std::string text = "<monitor-config><monitor-entry variable=\"v\">";
        for (int i = 0; i < levels; ++i) {
            text += "<a>";
        }
        text += inner;
        for (int i = 0; i < levels; ++i) {
            text += "</a>";
        }
        return text + "</monitor-entry></monitor-config>";
    };
    root.write("deep.cfg", nested(150000, "<frequency><seconds>7</seconds></frequency>"));
    root.write("huge.cfg", "");
    const bool sparse = ::truncate(root.at("huge.cfg").c_str(), 100LL << 30) == 0;
    const std::string oversized(9 * 1024 * 1024, 'x');
    SetRequestReaderMemoryForTest(16 * 1024 * 1024);

    struct Row {
        const char* what;
        std::function<void()> read;
        std::string message;
        bool load;          // the reason is in lastLoadFailure, else in the parser's diagnostic
        std::string reason;
    };
    for (const Row& row : std::vector<Row>{
             {"100 GB file", [&] { Config::load(root.at("huge.cfg")); }, "file to read not found", true,
              "107374182400 bytes, more than the 268435456 (256 MiB)"},
             {"request beyond the parser's memory",
              [&] { Config::parseMonitorEntry("<monitor-entry variable=\"" + oversized + "\"/>"); },
              "An error occured during parsing\n ", false, ""}}) {
        SCOPED_TRACE(row.what);
        if (!sparse && row.message == "file to read not found") {
            continue;
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(row.message, messageOf(row.read));
        testing::internal::GetCapturedStderr();
        const std::string reason = row.load ? Config::lastLoadFailure() : GetXMLErrorReporter()->lastDiagnostic();
        EXPECT_NE(std::string::npos, reason.find(row.reason)) << reason;
        resetXMLErrorsForTest();
        // The next document reads normally.
        EXPECT_EQ("ok", Config::parseMonitorEntry("<monitor-entry variable=\"ok\"/>").getVariableName());
    }
    SetRequestReaderMemoryForTest(256 * 1024 * 1024);

    std::vector<MonitorEntry> deep = Config::load(root.at("deep.cfg"));
    ASSERT_EQ(1u, deep.size());
    EXPECT_EQ(7u, dynamic_cast<const Seconds&>(*deep[0].getFrequency()).getSeconds());
}
