// The strict checker: shipped and written documents pass, typos the lenient
// reader would take for something else are reported once, at their line.
#include "configvalidator.h"
#include "documentmodel.h"
#include "monitoring.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace monvalidate;

namespace {

const std::string kData = ZOR_TEST_DATA "/monitoring/";
const std::string kDemo = ZOR_TEST_DATA "/../../demo/root/etc/configs/monitor/";

const VariableCatalogue kDemoVariables = {{"load-average", true}, {"memory-available", true},
                                          {"root-free-space", true}, {"process-count", true},
                                          {"uptime", true}, {"cpu", true}};
const VariableCatalogue kExampleVariables = {{"cpu-load", true}, {"fan-speed", true}};

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    std::size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string listed(const std::vector<Problem>& problems)
{
    std::string text;
    for (const Problem& problem : problems) {
        text += formatProblem(problem) + "\n";
    }
    return text;
}

struct Mistake {
    const char* from;
    const char* to;
    unsigned long line;
    const char* says;
};

void expectOneProblem(const std::string& text, const Mistake& mistake, const VariableCatalogue& variables)
{
    std::vector<Problem> problems =
        validateText(replaced(text, mistake.from, mistake.to), DocumentKind::monitorConfig, variables, "Monitor.cfg");
    ASSERT_EQ(1u, problems.size()) << mistake.to << "\n" << listed(problems);
    EXPECT_EQ(mistake.line, problems[0].line) << formatProblem(problems[0]);
    EXPECT_NE(0u, problems[0].column);
    EXPECT_NE(std::string::npos, problems[0].message.find(mistake.says)) << formatProblem(problems[0]);
}

} // namespace

TEST(ConfigValidatorTest, ShippedFixtureAndWrittenDocumentsAreClean)
{
    struct Document {
        std::string path;
        DocumentKind kind;
        const VariableCatalogue& variables;
    };
    const VariableCatalogue none;
    for (const Document& document : {Document{kData + "example-Monitor.cfg", DocumentKind::monitorConfig, none},
                                     Document{kData + "layout-Monitor.cfg", DocumentKind::monitorConfig, none},
                                     Document{kData + "PresetTriggers.cfg", DocumentKind::presetTriggers, none},
                                     Document{kDemo + "Monitor.cfg", DocumentKind::monitorConfig, kDemoVariables},
                                     Document{kDemo + "PresetTriggers.cfg", DocumentKind::presetTriggers,
                                              kDemoVariables}}) {
        EXPECT_EQ("", listed(validateFile(document.path, document.kind, document.variables))) << document.path;
    }

    // What the writer makes of the shipped configuration: the file, and each
    // entry and trigger as a request's reply.
    zortest::TempRoot root;
    std::vector<MonitorEntry> entries = MonitoringConfiguration::load(kDemo + "Monitor.cfg");
    MonitoringConfiguration::save(entries, root.at("Monitor.cfg"));
    EXPECT_EQ("", listed(validateFile(root.at("Monitor.cfg"), DocumentKind::monitorConfig, kDemoVariables)));
    for (MonitorEntry& entry : entries) {
        EXPECT_EQ("", listed(validateText(MonitoringConfiguration::generate(entry), DocumentKind::monitorEntry,
                                          kDemoVariables, "entry")));
        for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
            const std::string text =
                MonitoringConfiguration::generate(entry.getActionTrigger(static_cast<unsigned int>(i)));
            EXPECT_EQ("", listed(validateText(text, DocumentKind::actionTrigger, kDemoVariables, "trigger")));
        }
    }
}

TEST(ConfigValidatorTest, TyposTheReaderWouldTakeAreReportedOnceAtTheirLine)
{
    const std::string example = zortest::readFile(kData + "example-Monitor.cfg");
    const Mistake mistakes[] = {
        {"comparison=\"greater-than\"", "comparison=\"lower-than\"", 9, "use one of: greater-than, less-than"},
        {"log=\"true\"", "log=\"yes\"", 4, "log=\"yes\" on <monitor-entry> is not allowed"},
        {"log=\"true\"", "log=\"true \"", 4, "remove the blanks"},
        {"max-frequency=\"3600\"", "max-frequency=\"1h\"", 10, "not a whole number"},
        {"<log/>", "<logg/>", 12, "unknown element <logg> in <action>"},
        {"<single-value ", "<single-value colour=\"red\" ", 9, "unknown attribute colour"},
        {"<seconds>60</seconds>", "<seconds>60</seconds><seconds>5</seconds>", 6, "<seconds> is not allowed here"},
        {"hour=\"6\"", "hour=\"24\"", 19, "at most 23"},
        {"<trap/>", "<trap>yes</trap>", 25, "may not hold text"},
        {" value=\"50\"", "", 9, "needs the attribute value"},
        {"day-of-week=\"mon\"", "day-of-week=\"Mon\"", 18, "use one of: sun, mon"},
        {"version=\"1.0\"", "version=\"1.1\"", 1, "XML version 1.1"},
    };
    for (const Mistake& mistake : mistakes) {
        expectOneProblem(example, mistake, kExampleVariables);
    }
}

TEST(ConfigValidatorTest, ChecksBeyondTheSchema)
{
    const std::string example = zortest::readFile(kData + "example-Monitor.cfg");
    const Mistake mistakes[] = {
        {"\"cpu-load\"", "\"cpu-lod\"", 4, "did you mean \"cpu-load\"?"},
        {"value=\"50\"", "value=\"fifty\"", 9, "not a number, so greater-than never fires"},
        {"low-value=\"10\" high-value=\"20\"", "low-value=\"30\" high-value=\"20\"", 23, "swap the bounds"},
        {"high-value=\"20\"", "high-value=\"2O\"", 23, "high-value=\"2O\" is not a number"},
        {"ops@example.com", "ops@exa mple.com", 11, "blank or control character"},
        {"ops@example.com", "ops.example.com", 11, "exactly one '@'"},
        {"ops@example.com", "@example.com", 11, "nothing before the '@'"},
        {"ops@example.com", "ops@example..com", 11, "empty part"},
        {"ops@example.com", "ops@example_com", 11, "other than letters, digits"},
        {"ops@example.com", "", 11, "<email> is empty"},
        {"<email>ops", "<email><!-- on call -->ops", 11, "plain text only"},
        {"log=\"true\"", "log=\"false\"", 8, "set log=\"true\" on its monitor-entry"},
        {"\"greater-than\" value=\"50\"", "\"equals\" value=\"high\"", 9, "equals compares it as text"},
    };
    for (const Mistake& mistake : mistakes) {
        expectOneProblem(example, mistake, kExampleVariables);
    }
    // What the thread holds as text never compares as a number.
    const VariableCatalogue textValues = {{"cpu-load", false}, {"fan-speed", true}};
    expectOneProblem(example, Mistake{"value=\"50\"", "value=\"50\"", 9, "greater-than never fires"}, textValues);
    // Without a catalogue, what needs one is not checked.
    EXPECT_EQ("", listed(validateText(replaced(example, "cpu-load", "anything"), DocumentKind::monitorConfig, {},
                                      "Monitor.cfg")));
}

TEST(ConfigValidatorTest, RequestTextsNameTheirSource)
{
    const std::string trigger = "<action-trigger value-type=\"instantaneous\" permanent=\"false\">"
                                "<single-value comparison=\"equals\" value=\"ok\"/></action-trigger>";
    EXPECT_EQ("", listed(validateText(trigger, DocumentKind::actionTrigger, {}, "request")));

    std::vector<Problem> problems = validateText(replaced(trigger, "\"equals\"", "\"equal\""),
                                                 DocumentKind::actionTrigger, {}, "request");
    ASSERT_EQ(1u, problems.size()) << listed(problems);
    EXPECT_EQ("request:1:76: comparison=\"equal\" on <single-value> is not allowed; use one of: greater-than, "
              "less-than, equals, not-equals",
              formatProblem(problems[0]));

    problems = validateText(trigger, DocumentKind::monitorEntry, {}, "request");
    ASSERT_EQ(1u, problems.size()) << listed(problems);
    EXPECT_EQ("request:1:1: the document's root element is <action-trigger>, but a monitor entry has <monitor-entry>",
              formatProblem(problems[0]));
    EXPECT_EQ("request: the document is empty", formatProblem(Problem{"request", 0, 0, "the document is empty"}));
    EXPECT_EQ("request:1:2: the document is empty\n", listed(validateText(" ", DocumentKind::actionTrigger, {}, "request")));
}

TEST(ConfigValidatorTest, FilesThatAreNotConfigurationDocuments)
{
    zortest::TempRoot root;
    ASSERT_EQ(0, ::mkfifo(root.at("fifo").c_str(), 0600));
    root.write("huge.cfg", "");
    ASSERT_EQ(0, ::truncate(root.at("huge.cfg").c_str(), static_cast<off_t>(maxDocumentSize + 1)));
    root.mkdir("folder");
    root.write("secret", "SECRET");
    root.write("entity.cfg", "<?xml version=\"1.0\"?>\n<!DOCTYPE monitor-config [<!ENTITY e SYSTEM \"file://" +
                                 root.at("secret") + "\">]>\n<monitor-config>&e;</monitor-config>\n");

    struct Case {
        std::string name;
        const char* says;
    };
    for (const Case& c : {Case{"fifo", "not a regular file"}, Case{"huge.cfg", "larger than the 256 MiB"},
                          Case{"folder", "is a directory"}, Case{"missing", "No such file"},
                          Case{"entity.cfg", "document type declaration"}}) {
        std::vector<Problem> problems = validateFile(root.at(c.name), DocumentKind::monitorConfig, {});
        ASSERT_FALSE(problems.empty()) << c.name;
        EXPECT_EQ(root.at(c.name), problems[0].file);
        EXPECT_NE(std::string::npos, problems[0].message.find(c.says)) << listed(problems);
        EXPECT_EQ(std::string::npos, listed(problems).find("SECRET"));
    }
}

TEST(ConfigValidatorTest, HostileDocumentsGetBoundedAnswers)
{
    std::string deep = "<monitor-config>";
    std::string faults = "<monitor-config>";
    for (int i = 0; i < 300000; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < 1000; ++i) {
        faults += "<monitor-entry variable=\"v\" log=\"yes\"><frequency/></monitor-entry>\n";
    }
    // Each entity ten times the one before: a billion characters in the end.
    std::string laughs = "<!DOCTYPE monitor-config [<!ENTITY a \"aaaaaaaaaa\">";
    for (char level = 'b'; level <= 'j'; ++level) {
        std::string tenTimes;
        for (int i = 0; i < 10; ++i) {
            tenTimes += std::string("&") + static_cast<char>(level - 1) + ";";
        }
        laughs += std::string("<!ENTITY ") + level + " \"" + tenTimes + "\">";
    }
    laughs += "]><monitor-config><monitor-entry variable=\"&j;\"><frequency/></monitor-entry></monitor-config>";

    struct Case {
        std::string text;
        std::size_t problems;
        const char* lastSays;
    };
    for (const Case& c : {Case{deep, 2, "nested more than 100 levels"},
                          Case{faults, maxProblemsReported + 1, "too many problems"},
                          Case{laughs, 2, "entity expansions"}}) {
        std::vector<Problem> problems = validateText(c.text, DocumentKind::monitorConfig, {}, "hostile");
        ASSERT_EQ(c.problems, problems.size()) << listed(problems).substr(0, 2000);
        EXPECT_NE(std::string::npos, problems.back().message.find(c.lastSays)) << formatProblem(problems.back());
    }
}

// The wording comes from the kind of fault and the schema's vocabulary: a
// parser whose message texts read otherwise gets the same explanations.
TEST(ConfigValidatorTest, ExplanationsDoNotDependOnTheParsersWording)
{
    Vocabulary vocabulary;
    ElementVocabulary& time = vocabulary["time-of-day"];
    time.attributes = {"hour", "min"};
    time.requiredAttributes = {"hour", "min"};
    time.limits["hour"].maxInclusive = "23";
    auto content = std::make_shared<ContentParticle>();
    content->kind = ContentParticle::Kind::sequence;
    ContentParticle child;
    child.name = "time-of-day";
    content->parts.push_back(child);
    vocabulary["monitor-entry"].content = content;

    const std::string text = "<monitor-entry variable=\"v\"><time-of-day hour=\"24\" colour=\"red\"/>"
                             "<time-of-day/></monitor-entry>";
    auto after = [&text](const std::string& part) {
        return Place{1, static_cast<unsigned long>(text.find(part) + part.size() + 1)};
    };
    auto element = [](const std::string& name, Place tagEnd) {
        ElementRecord record;
        record.name = record.qualifiedName = name;
        record.tagEnd = tagEnd;
        return record;
    };
    auto report = [](SchemaReport::Kind kind, Place place, ValueFault fault = ValueFault::other) {
        SchemaReport result;
        result.kind = kind;
        result.valueFault = fault;
        result.place = place;
        result.message = "nonsense";
        return result;
    };
    const VariableCatalogue none;
    DocumentModel model(text, DocumentKind::monitorEntry, &vocabulary, none);
    ElementRecord entry = element("monitor-entry", after("\"v\">"));
    entry.attributes = {{"variable", "v"}};
    entry.attributeUris = {""};
    model.startElement(entry);

    const Place first = after("\"red\"/>");
    model.addSchemaReport(report(SchemaReport::Kind::value, first, ValueFault::tooLarge));
    model.addSchemaReport(report(SchemaReport::Kind::attributeNotDeclared, first));
    ElementRecord faulty = element("time-of-day", first);
    faulty.attributes = {{"hour", "24"}, {"colour", "red"}};
    faulty.attributeUris = {"", ""};
    faulty.attributeFaults = {{"hour", ValueFault::tooLarge}};
    model.startElement(faulty);
    model.endElement();

    const Place second = after("<time-of-day/>");
    model.addSchemaReport(report(SchemaReport::Kind::attributeMissing, second));
    model.addSchemaReport(report(SchemaReport::Kind::attributeMissing, second));
    model.startElement(element("time-of-day", second));
    model.endElement();
    model.addSchemaReport(report(SchemaReport::Kind::elementNotAllowed, after("</monitor-entry>")));
    model.endElement();

    const unsigned long hour = text.find("hour") + 1;
    const unsigned long colour = text.find("colour") + 1;
    const unsigned long secondTag = text.find("<time-of-day/>") + 1;
    EXPECT_EQ("doc:1:" + std::to_string(hour) + ": hour=\"24\" on <time-of-day> is too large: at most 23\n"
              "doc:1:" + std::to_string(colour) + ": unknown attribute colour on <time-of-day>; its attributes are: "
              "hour, min\n"
              "doc:1:" + std::to_string(secondTag) + ": <time-of-day> needs the attribute hour\n"
              "doc:1:" + std::to_string(secondTag) + ": <time-of-day> needs the attribute min\n"
              "doc:1:" + std::to_string(secondTag) + ": <time-of-day> is not allowed here; <monitor-entry> expects "
              "<time-of-day>\n",
              listed(model.finish("doc")));
}
