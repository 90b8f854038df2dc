// Editing a configuration with zorhost and the real module, as people do:
// scripts that fail halfway, several editors at once, sloppy requests under
// --strict, validate, show and diff.
#include "zortest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <unistd.h>

using zortest::HostRun;
using zortest::runZorhost;

namespace {

const std::string kEntry = "/zor/public/system/monitor/config/monitor-entry/";
const std::string kTrigger = "/zor/public/system/monitor/config/action-trigger/";

std::string entryXml(const std::string& variable)
{
    return "<monitor-entry variable=\"" + variable +
           "\" log=\"true\"><frequency><seconds>60</seconds></frequency></monitor-entry>";
}

const std::string kTriggerXml = "<action-trigger value-type=\"instantaneous\" permanent=\"false\"><single-value "
                                "comparison=\"less-than\" value=\"5\"/><action max-frequency=\"60\"><log/></action>"
                                "</action-trigger>";

/// A root whose Monitor.cfg holds entries for cpu and uptime.
struct Configured {
    Configured()
    {
        root.write("etc/configs/monitor/Monitor.cfg",
                   "<monitor-config>" + entryXml("cpu") + entryXml("uptime") + "</monitor-config>\n");
        original = file();
    }
    std::string file() const { return zortest::readFile(root.at("etc/configs/monitor/Monitor.cfg")); }
    HostRun run(std::vector<std::string> args, const std::string& script = "") const
    {
        args.insert(args.begin(), {"--root", root.path()});
        return runZorhost(args, script);
    }
    /// The entries' lines of `zorhost show`.
    std::string show() const { return run({"show"}).out; }

    zortest::TempRoot root;
    std::string original;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace

// Exit status 3 follows the module's dirty flag: the debug level and a
// message post edit nothing, and a failed edit leaves nothing to commit. A
// script that fails halfway commits nothing.
TEST(ZorhostEditTest, ExitThreeOnlyWhileConfigurationEditsWaitForACommit)
{
    const std::string debug = "set /zor/public/system/monitor/global-debug-level/ 1\n";
    const std::string post = "set /zor/public/system/monitor/message/post/ hello\n";
    const std::string add = "add " + kEntry + " " + entryXml("disk") + "\n";
    const std::string badSet = "set " + kEntry + "0/ 0/<monitor-entry>";
    struct Case {
        std::string script;
        int status;
        std::string err;
    };
    for (const Case& k : std::vector<Case>{{debug, 0, ""},
                                           {post + debug, 0, ""},
                                           {add, 3, "zorhost: 1 change not committed; add a commit line"},
                                           {add + debug + add, 3, "2 changes not committed"},
                                           {add + "commit\n" + debug + post, 0, ""},
                                           {add + "commit\n" + add, 3, "1 change not committed"},
                                           {"del " + kEntry + "9/\n", 1, ""},
                                           {"del " + kEntry + "1/\n" + badSet + "\n" + add + "commit\n", 1,
                                            "stopped at script line 2 (" + badSet + ")"}}) {
        Configured c;
        HostRun run = c.run({"--script", "-"}, k.script);
        EXPECT_EQ(run.status, k.status) << k.script << run.err;
        EXPECT_TRUE(has(run.err, k.err)) << k.script << run.err;
        EXPECT_EQ(has(run.err, "not committed"), k.status == 3) << k.script << run.err;
        const bool committed = has(run.out, "saved");
        EXPECT_EQ(c.file() != c.original, committed) << k.script << run.out;
        EXPECT_EQ(committed, k.status != 1 && has(k.script, "commit")) << k.script << run.out;
    }
}

TEST(ZorhostEditTest, ConcurrentEditorsLoseNothingThatWasReportedSaved)
{
    Configured c;
    const std::vector<std::string> wait = {"--lock-wait", "600", "--script", "-"};
    std::vector<std::future<HostRun>> editors;
    for (int i = 0; i < 8; ++i) {
        editors.push_back(std::async(std::launch::async, [&c, &wait, i] {
            return c.run(wait, "add " + kEntry + " " + entryXml("v" + std::to_string(i)) + "\ncommit\n");
        }));
    }
    // A delete running among them is not undone by a session that loaded before it.
    HostRun deleter = c.run(wait, "del " + kEntry + "0/\ncommit\n");
    EXPECT_TRUE(has(deleter.out, "saved")) << deleter.err;
    for (auto& editor : editors) {
        HostRun run = editor.get();
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(has(run.out, " Monitor configuration saved")) << run.out;
    }
    std::string file = c.file();
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(has(file, "variable=\"v" + std::to_string(i) + "\"")) << i;
    }
    EXPECT_FALSE(has(file, "variable=\"cpu\"")) << "the delete was undone";
    EXPECT_TRUE(has(file, "variable=\"uptime\""));
}

TEST(ZorhostEditTest, AnEditorWaitsForTheLockAndNamesItsHolder)
{
    Configured c;
    int fd = open(c.root.at("etc/configs/monitor/Monitor.cfg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);

    HostRun edit = c.run({"--lock-wait", "0.2", "del", kEntry + "0/"});
    EXPECT_EQ(edit.status, 2);
    EXPECT_TRUE(has(edit.err, "being edited by process " + std::to_string(getpid()))) << edit.err;
    EXPECT_EQ(c.run({"get", kEntry + "0/"}).status, 0) << "a reading session takes no lock";
    close(fd);
    EXPECT_EQ(c.run({"--lock-wait", "0", "--script", "-"}, "del " + kEntry + "0/\ncommit\n").status, 0);

    zortest::TempRoot bare; // no configuration folder: no lock, and the commit says why it fails
    HostRun nowhere = runZorhost({"--root", bare.path(), "--script", "-"}, "add " + kEntry + " " + entryXml("cpu") +
                                                                               "\ncommit\n");
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_TRUE(has(nowhere.out, "cannot open file for writing")) << nowhere.out << nowhere.err;
}

TEST(ZorhostEditTest, StrictRefusesSloppyRequestsBeforeSendingThem)
{
    Configured c;
    struct Case {
        std::string line;
        std::string why;
    };
    for (const Case& k : std::vector<Case>{
             {"del " + kEntry + "abc/", "entry index in the key must be a plain decimal number, got \"abc\""},
             {"get " + kTrigger + "0/-1/", "trigger index in the key must be a plain decimal number, got \"-1\""},
             {"del " + kEntry + "/", "got \"\""},
             {"set " + kEntry + "0/ 1x/" + entryXml("cpu"), "entry index in the value must be"},
             {"set " + kEntry + "0/ 1/" + entryXml("cpu"), "entry index in the value (1) differs from the key's (0)"},
             {"add " + kTrigger + "1/ 0/" + kTriggerXml, "differs"},
             // the documents go through the configuration validator, whose findings have tests of their own
             {"set " + kEntry + "0/ 0/<monitor-entry variable=\"cpu\" log=\"yes\"/>", "yes"},
         }) {
        HostRun run = c.run({"--strict", "--json", "--script", "-"}, k.line + "\ncommit\n");
        EXPECT_EQ(run.status, 1) << k.line;
        EXPECT_TRUE(run.replies.empty()) << k.line << ": nothing is sent, not even the commit";
        EXPECT_TRUE(has(run.err, "script line 1 (") && has(run.err, k.why)) << k.line << "\n" << run.err;
    }
    EXPECT_EQ(c.file(), c.original);

    // What is sound goes through unchanged, replies included.
    HostRun good = c.run({"--strict", "--json", "--script", "-"},
                         "add " + kTrigger + "1/ 1/" + kTriggerXml + "\nget " + kTrigger + "1/0/\ncommit\n");
    EXPECT_EQ(good.status, 0) << good.err;
    ASSERT_EQ(good.replies.size(), 3u);
    EXPECT_EQ(good.replies[0]["reply"], kTriggerXml);
}

TEST(ZorhostEditTest, ValidateChecksAFileWithoutTheModule)
{
    Configured c;
    std::string bad = c.root.at("bad.cfg");
    c.root.write("bad.cfg", "<monitor-config>\n<monitor-entry variable=\"cpu\" log=\"yes\"/>\n</monitor-config>\n");
    std::vector<std::string> noModule = {"--module", "/nonexistent/libnothing.so", "validate"};

    HostRun clean = c.run(noModule); // the root's Monitor.cfg
    EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
    EXPECT_EQ(clean.out, "");
    noModule.push_back(bad);
    HostRun problems = c.run(noModule);
    EXPECT_EQ(problems.status, 1);
    EXPECT_EQ(problems.out.find(bad + ":2:"), 0u) << problems.out;
    EXPECT_TRUE(has(problems.out, "yes")) << problems.out;
    HostRun json = c.run({"--json", "validate", bad});
    ASSERT_FALSE(json.replies.empty()) << json.out;
    EXPECT_EQ(json.replies[0]["line"], 2);
    EXPECT_EQ(c.run({"validate", c.root.at("missing.cfg")}).status, 1);
    EXPECT_EQ(c.run({"validate", bad, bad}).status, 2);

    // The administrator's variables are known too, and may give text or
    // numbers: an equals on text and a greater-than on a number both pass.
    c.root.write("etc/configs/monitor/variables.conf", "raid-state program /bin/true\nups-load file /run/ups\n");
    c.root.write("own.cfg", "<monitor-config><monitor-entry variable=\"raid-state\" log=\"false\"><frequency/>"
                            "<action-trigger value-type=\"instantaneous\" permanent=\"false\"><single-value "
                            "comparison=\"equals\" value=\"degraded\"/></action-trigger></monitor-entry>"
                            "<monitor-entry variable=\"ups-load\" log=\"false\"><frequency/><action-trigger "
                            "value-type=\"instantaneous\" permanent=\"false\"><single-value comparison=\"greater-than\" "
                            "value=\"80\"/></action-trigger></monitor-entry></monitor-config>\n");
    HostRun own = c.run({"validate", c.root.at("own.cfg")});
    EXPECT_EQ(own.status, 0) << own.out;
}

TEST(ZorhostEditTest, ShowListsEveryEntryAndDiffShowsTheSessionsChanges)
{
    Configured c;
    EXPECT_EQ(c.show(), "0 " + entryXml("cpu") + "\n1 " + entryXml("uptime") + "\n");
    HostRun json = c.run({"--json", "show"});
    EXPECT_EQ(json.replies.size(), 3u) << "the count and one get per entry";
    Configured broken; // a file that does not load shows as empty, and zorhost says why, log or not
    broken.root.write("etc/configs/monitor/Monitor.cfg", "<monitor-config><monitor-entry");
    EXPECT_TRUE(has(broken.run({"show"}).err, "warning: monitor::initialize: cannot load"));

    const std::string script = "del " + kEntry + "0/\nadd " + kEntry + " " + entryXml("load-average") + "\ncommit\n";
    HostRun dry = c.run({"diff", "--dry-run", "--script", "-"}, script);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out.substr(dry.out.find("- 0")),
              "- 0 " + entryXml("cpu") + "\n+ 1 " + entryXml("load-average") +
                  "\n0 changed, 1 removed, 1 added against the committed configuration\n");
    EXPECT_EQ(c.file(), c.original) << "a dry run sends no commit";

    HostRun real = c.run({"diff", "--json", "--script", "-"}, script);
    EXPECT_EQ(real.status, 0) << real.err;
    ASSERT_EQ(real.replies.size(), 4u) << real.out;
    EXPECT_EQ(real.replies[2]["diff"]["removed"][0]["entry"], entryXml("cpu"));
    EXPECT_TRUE(has(real.replies[3]["reply"], "saved"));
    EXPECT_EQ(c.show(), "0 " + entryXml("uptime") + "\n1 " + entryXml("load-average") + "\n");
}

TEST(ZorhostEditTest, TryPlaysATriggerOverALoggedDayWithoutTheModule)
{
    Configured c;
    c.root.write("var/log/monitor/d20240304.log", "2024-03-04 00:00:00 sample cpu=10\n"
                                                  "2024-03-04 00:01:00 sample cpu=70\n"
                                                  "2024-03-04 00:02:00 sample cpu=20\n"
                                                  "2024-03-04 00:03:00 sample cpu=80\n");
    const std::string trigger = "<action-trigger value-type=\"instantaneous\" permanent=\"false\"><single-value "
                                "comparison=\"greater-than\" value=\"50\"/><action max-frequency=\"3600\"><log/>"
                                "</action></action-trigger>";
    // Two rises over the threshold; the second comes inside the repeat limit.
    HostRun run = c.run({"--module", "/nonexistent/libnothing.so", "--day", "d20240304", "try", "cpu", trigger});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(has(run.out, "00:01:00 acts cpu=70")) << run.out;
    EXPECT_TRUE(has(run.out, "00:03:00 held cpu=80")) << run.out;
    EXPECT_EQ(c.run({"--day", "d20240304", "try", "cpu", "<action-trigger"}).status, 2);
    EXPECT_EQ(c.run({"--day", "d20991231", "try", "cpu", trigger}).status, 2);
    EXPECT_EQ(c.file(), c.original);
}
