// What the module answers to each class of bad input a management client can
// send, end to end through zorhost and the real module on a temporary root.
// Every case checks the answer and that the stored configuration (the table
// the module serves, and Monitor.cfg after a commit) is as it was before.
#include "zortest.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;
using zortest::HostRun;
using zortest::TempRoot;

namespace {

const std::string kConfig = "/zor/public/system/monitor/config/";
const std::string kEntry = kConfig + "monitor-entry/";
const std::string kTrigger = kConfig + "action-trigger/";
const std::string kCount = "get " + kConfig + "monitor-entry-count/\n";
const std::string kParseErrors = "Parsing errors occurred";

const std::string kEntryXml =
    "<monitor-entry variable=\"cpu-load\" log=\"true\"><frequency><seconds>60</seconds></frequency>"
    "<action-trigger value-type=\"average\" permanent=\"false\"><single-value comparison=\"greater-than\" "
    "value=\"50\"/><action max-frequency=\"3600\"><log/></action></action-trigger></monitor-entry>";
const std::string kTriggerXml =
    "<action-trigger value-type=\"instantaneous\" permanent=\"true\"><value-changes/><action max-frequency=\"0\">"
    "<trap/></action></action-trigger>";

// A root whose Monitor.cfg holds one entry with one trigger.
struct Configured {
    Configured()
    {
        root.write("etc/configs/monitor/Monitor.cfg",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>" + kEntryXml + "</monitor-config>\n");
        original = readConfig();
    }
    std::string config() const { return root.at("etc/configs/monitor/Monitor.cfg"); }
    std::string readConfig() const { return zortest::readFile(config()); }

    TempRoot root;
    std::string original;
};

void expectReply(const json& r, int result, int msgId, const std::string& text)
{
    EXPECT_EQ(result, r["result"]) << r.dump();
    EXPECT_EQ(msgId, r["msgID"]) << r.dump();
    EXPECT_EQ(text, r["reply"]);
}

// Runs script, then a commit and a count in the same session: the commit
// must find nothing to save (no failure made the session dirty) and the
// count must still be one. Returns the replies of the script itself.
std::vector<json> runUnchanged(const Configured& c, const std::string& script,
                               const std::vector<std::string>& extra = {})
{
    std::vector<std::string> args = extra;
    args.push_back("--keep-going"); // the commit and the count run after the refusals
    HostRun run = zortest::runScript(c.root, script + "commit\n" + kCount, args);
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_GE(run.replies.size(), 2u) << run.err;
    if (run.replies.size() < 2) {
        return {};
    }
    const json& commit = run.replies[run.replies.size() - 2];
    expectReply(commit, 0, 0, " No session changes\n");
    expectReply(run.replies.back(), 0, 0, "1");
    EXPECT_EQ(c.original, c.readConfig());
    run.replies.resize(run.replies.size() - 2);
    return run.replies;
}

struct Refusal {
    std::string request;
    int result;
    int msgId;
    std::string reply;
};

// Sends the requests in one session, in order, and checks every answer.
void expectRefusals(const Configured& c, const std::vector<Refusal>& cases)
{
    std::string script;
    for (const Refusal& refusal : cases) {
        script += refusal.request + "\n";
    }
    auto r = runUnchanged(c, script);
    ASSERT_EQ(cases.size(), r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(cases[i].request.substr(0, 200));
        expectReply(r[i], cases[i].result, cases[i].msgId, cases[i].reply);
    }
}

Refusal parseError(const std::string& request) { return {request, -6, 0, kParseErrors}; }

TEST(BadInputTest, MalformedXmlIsRefusedAndLaterDocumentsOfTheProcessToo)
{
    Configured c;
    // A malformed document sets the parser's process-wide error flag: from
    // then on every document of that process is refused, good ones too, while
    // requests that parse nothing still work.
    expectRefusals(c, {parseError("set " + kEntry + "0/ 0/<monitor-entry variable=\"v\">"),
                       parseError("add " + kEntry + " <monitor-entry variable=\"v\"></monitor-entri>"),
                       parseError("set " + kTrigger + "0/0/ 0/0/<action-trigger><value-changes/>"),
                       parseError("add " + kTrigger + "0/ 0/" + kTriggerXml),
                       parseError("add " + kEntry + " " + kEntryXml),
                       {"get " + kEntry + "0/", 0, 0, kEntryXml}});

    // A new process parses again.
    HostRun next = zortest::runScript(c.root, "add " + kEntry + " " + kEntryXml + "\n");
    ASSERT_EQ(1u, next.replies.size()) << next.err;
    EXPECT_EQ(0, next.replies[0]["result"]);
}

TEST(BadInputTest, TenMegabyteValuesAreAnsweredWhole)
{
    Configured c;
    const std::string huge(10 << 20, 'x');
    // Out of range: refused before anything is parsed.
    expectRefusals(c, {{"set " + kEntry + "5/ 5/<monitor-entry variable=\"" + huge + "\"/>", -3, -3,
                        " Monitor Entry index 5 does not exist"},
                       parseError("add " + kEntry + " <monitor-entry variable=\"" + huge + "\">")});

    // A well-formed one is an ordinary entry, however long its name: it is
    // stored, committed and read back whole.
    HostRun run = zortest::runScript(
        c.root, "add " + kEntry + " <monitor-entry variable=\"" + huge + "\" log=\"false\"/>\ncommit\n");
    ASSERT_EQ(2u, run.replies.size()) << run.err;
    EXPECT_EQ(0, run.replies[0]["result"]);
    EXPECT_EQ(0, run.replies[1]["result"]);
    HostRun back = zortest::runScript(c.root, "get " + kEntry + "1/\n");
    ASSERT_EQ(1u, back.replies.size()) << back.err;
    EXPECT_EQ("<monitor-entry variable=\"" + huge + "\" log=\"false\"><frequency/></monitor-entry>",
              back.replies[0]["reply"].get<std::string>());
}

TEST(BadInputTest, DeeplyNestedElementsNeitherOverflowTheStackNorChangeTheReading)
{
    Configured c;
    std::string open, close;
    for (int i = 0; i < 100000; ++i) {
        open += "<a>";
        close += "</a>";
    }
    // Unknown elements are skipped at any depth; the entry's own elements
    // count wherever they stand below it.
    HostRun run = zortest::runScript(
        c.root, "add " + kEntry + " <monitor-entry variable=\"deep\" log=\"false\">" + open +
                    "<frequency><seconds>5</seconds></frequency>" + close + "</monitor-entry>\n"
                    "get " + kEntry + "1/\n");
    ASSERT_EQ(2u, run.replies.size()) << run.err;
    EXPECT_EQ(0, run.replies[0]["result"]);
    expectReply(run.replies[1], 0, 0,
                "<monitor-entry variable=\"deep\" log=\"false\"><frequency><seconds>5</seconds></frequency>"
                "</monitor-entry>");

    expectRefusals(c, {parseError("set " + kEntry + "0/ 0/<monitor-entry>" + open + "</monitor-entry>")});
}

// Each hostile document in a process of its own, so that each is refused on
// its own account and not for the flag an earlier one raised.
TEST(BadInputTest, EntityBombsAndExternalEntitiesEndInARefusal)
{
    Configured c;
    // Ten levels of ten: 10^10 characters if expanded.
    std::string bomb = "<!DOCTYPE monitor-entry [<!ENTITY e0 \"0123456789\">";
    for (int level = 1; level < 10; ++level) {
        std::string reference = "&e" + std::to_string(level - 1) + ";";
        bomb += "<!ENTITY e" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i) {
            bomb += reference;
        }
        bomb += "\">";
    }
    bomb += "]>";
    c.root.write("secret.txt", "top secret");
    const std::string secret = c.root.at("secret.txt");
    for (const std::string& request :
         {"add " + kEntry + " " + bomb + "<monitor-entry variable=\"&e9;\"/>",
          "set " + kEntry + "0/ 0/" + bomb + "<monitor-entry>&e9;</monitor-entry>",
          "add " + kEntry + " <!DOCTYPE m [<!ENTITY s SYSTEM \"file://" + secret + "\">]><monitor-entry variable=\"&s;\"/>",
          "add " + kTrigger + "0/ 0/<!DOCTYPE m [<!ENTITY s SYSTEM \"" + secret +
              "\">]><action-trigger><value-changes/><action><email>&s;</email></action></action-trigger>"}) {
        expectRefusals(c, {parseError(request)});
    }
}

TEST(BadInputTest, NegativeHugeAndNonNumericIndexes)
{
    Configured c;
    std::vector<Refusal> cases = {
        {"del " + kEntry + "99999999999999999999/", -3, -3, " Monitor Entry index 99999999999999999999 does not exist"},
        {"set " + kEntry + "1/ 1/" + kEntryXml, -3, -3, " Monitor Entry index 1 does not exist"},
        {"get " + kTrigger + "0/-1/", -3, -3, " Action Trigger index -1 does not exist in Monitor Entry 0"},
        {"set " + kTrigger + "0/-1/ 0/-1/" + kTriggerXml, -6, 0, "Trigger not found with the specified index"},
        {"del " + kTrigger + "0/-1/", -6, 0, "Trigger not found with the specified index"},
        {"del " + kTrigger + "0/2147483648/", -3, -3, " Action Trigger index 2147483648 does not exist in Monitor Entry 0"},
        {"get " + kTrigger + "-1/0/", -3, -3, " Monitor Entry index -1 does not exist"}};
    // Beyond 32 bits saturates; it never wraps around to an existing entry.
    for (std::string index : {"-1", "4294967296", "2147483647", "2147483648", "-2147483649", "-4294967295"}) {
        cases.push_back({"get " + kEntry + index + "/", -3, -3, " Monitor Entry index " + index + " does not exist"});
    }
    expectRefusals(c, cases);

    // No digits read as 0, digits read up to the first other character.
    HostRun read = zortest::runScript(c.root, "get " + kEntry + "abc/\nget " + kEntry + "0x1/\nget " + kTrigger +
                                                  "zero/none/\n");
    ASSERT_EQ(3u, read.replies.size()) << read.err;
    EXPECT_EQ(read.replies[0]["reply"], read.replies[1]["reply"]);
    EXPECT_EQ(0, read.replies[0]["result"]);
    EXPECT_EQ(0, read.replies[2]["result"]);
}

TEST(BadInputTest, KeysAndValuesWithoutTheirParts)
{
    Configured c;
    c.root.mkdir("var/log/monitor");
    const std::string noEntryIndex = " No monitor entry index in key ";
    const std::string noEntryXml = " No XML text in the value: expected the entry index, a '/' and one monitor-entry";
    const std::string noSetTriggerXml = " No XML text in the value: expected the entry index, a '/', the trigger "
                                        "index, a '/' and one action-trigger";
    // "OP KEY " sends an empty value, "OP KEY" none; both read as empty.
    expectRefusals(c, {
        {"get " + kEntry, -6, -6, noEntryIndex + kEntry},
        {"set " + kEntry + " 0/" + kEntryXml, -6, -6, noEntryIndex + kEntry},
        {"del " + kEntry, -6, -6, noEntryIndex + kEntry},
        {"get " + kTrigger + "0/", -6, -6, " No action trigger index in key " + kTrigger + "0/"},
        {"del " + kTrigger, -6, -6, noEntryIndex + kTrigger},
        {"get " + kConfig + "variable-configuration/", -6, -6, " No variable name in key " + kConfig + "variable-configuration/"},
        {"get " + kConfig + "preset-trigger/", -6, -6, " No preset index in key " + kConfig + "preset-trigger/"},
        // The log name is the last key part, which here is the path's own
        // last word: no such log.
        {"get /zor/public/system/monitor/monitorLog/", -9, 0,
         " Cannot determine status of file: " + c.root.path() + "/var/log/monitor/monitorLog.log"},
        {"get:7 /", -6, -6, noEntryIndex + "/"},
        {"set " + kEntry + "0/ 0", -6, -6, noEntryXml},
        {"set " + kEntry + "0/ ", -6, -6, noEntryXml},
        {"set " + kTrigger + "0/0/ 0", -6, -6, noSetTriggerXml},
        {"set " + kTrigger + "0/0/", -6, -6, noSetTriggerXml},
        {"add " + kTrigger + "0/ trigger", -6, -6,
         " No XML text in the value: expected the entry index, a '/' and one action-trigger"},
        // An empty document is not well-formed.
        parseError("add " + kEntry + " ")});
}

TEST(BadInputTest, BinaryBytesInKeysAndValues)
{
    Configured c;
    c.root.mkdir("var/log/monitor");
    std::mt19937 random(8);
    std::string script;
    // Any byte but the zero byte, which ends a C string, and the line end of
    // a script line.
    auto binary = [&random](size_t n) {
        std::string bytes;
        while (bytes.size() < n) {
            char b = static_cast<char>(random() % 255 + 1);
            if (b != '\n' && b != '\r' && b != ' ') {
                bytes.push_back(b);
            }
        }
        return bytes;
    };
    for (int i = 0; i < 20; ++i) {
        script += "add " + kEntry + " " + binary(200) + "\n";
        script += "set " + kEntry + binary(8) + "/ 0/<" + binary(100) + "\n";
        script += "add " + kTrigger + "0/ x/" + binary(100) + "\n";
        script += "get /zor/public/system/monitor/monitorLog/" + binary(12) + "\n";
        script += "get " + kEntry + binary(6) + "/\n";
    }
    auto r = runUnchanged(c, script);
    ASSERT_EQ(100u, r.size());
    for (const json& reply : r) {
        ASSERT_FALSE(reply.contains("exception")) << reply.dump();
        const int result = reply["result"];
        EXPECT_TRUE(result == 0 || result == -3 || result == -6 || result == -9) << reply.dump();
    }
}

TEST(BadInputTest, MissingOrUnusableConfigurationDirectory)
{
    // Missing: the session opens on an empty table, the failure is logged,
    // and a commit cannot save; the session stays dirty. (A file in place of
    // the folder, or a folder in place of Monitor.cfg: monitor_store_test.)
    {
        TempRoot root;
        std::string log = root.at("host.log");
        HostRun run = zortest::runScript(root, kCount + "add " + kEntry + " " + kEntryXml + "\ncommit\ncommit\n",
                                         {"--log", log, "--keep-going"});
        ASSERT_EQ(4u, run.replies.size()) << run.err;
        expectReply(run.replies[0], 0, 0, "0");
        EXPECT_EQ(0, run.replies[1]["result"]);
        expectReply(run.replies[2], -9999, 0, "cannot open file for writing");
        expectReply(run.replies[3], -9999, 0, "cannot open file for writing");
        EXPECT_NE(std::string::npos, zortest::readFile(log).find("Monitoring Configuration Exception: "));
    }
    // Not writable (root writes anyway, so this part needs another user).
    if (geteuid() != 0) {
        Configured c;
        chmod(c.root.at("etc/configs/monitor").c_str(), 0555);
        HostRun run = zortest::runScript(c.root, "add " + kEntry + " " + kEntryXml + "\ncommit\n");
        chmod(c.root.at("etc/configs/monitor").c_str(), 0755);
        ASSERT_EQ(2u, run.replies.size()) << run.err;
        expectReply(run.replies[1], -9999, 0, "cannot open file for writing");
        EXPECT_EQ(c.original, c.readConfig());
    }
}

TEST(BadInputTest, LogNamesThatLeaveTheLogDirectory)
{
    TempRoot root;
    root.write("var/log/monitor/d20240301.log", "x\n");
    root.write("var/log/secret.log", "top secret\n");
    const std::string log = "/zor/public/system/monitor/monitorLog/";
    HostRun run = zortest::runScript(root, "get " + log + "..\nget " + log + ".\nget " + log + "../secret\nget " +
                                               log + "d20240301\n",
                                     {"--keep-going"});
    ASSERT_EQ(4u, run.replies.size()) << run.err;
    expectReply(run.replies[0], -9, -9, " No valid log name in key " + log + "..");
    expectReply(run.replies[1], -9, -9, " No valid log name in key " + log + ".");
    // The name is the last key part, so a "/" never reaches the file system:
    // this asks for "secret.log" in the log directory, which is not there.
    EXPECT_EQ(-9, run.replies[2]["result"]);
    EXPECT_EQ(std::string::npos, run.out.find("top secret"));
    expectReply(run.replies[3], 0, 0, "x\n");
}

} // namespace
