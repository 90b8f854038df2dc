// The configuration keys end to end: through the real zorhost, on temporary
// roots holding a small Monitor.cfg.
#include "zortest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/inotify.h>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using zortest::runScript;
using zortest::TempRoot;

namespace {

const std::string K = "/zor/public/system/monitor/config/";
const std::string kConfig = "etc/configs/monitor/Monitor.cfg";

// Entry 0: two triggers; entry 1: not logged, no trigger; entry 2: one trigger.
const std::string kMonitorCfg = R"(<?xml version="1.0" encoding="UTF-8"?>
<monitor-config>
  <monitor-entry variable="load-average" log="true">
    <frequency><seconds>60</seconds></frequency>
    <action-trigger value-type="average" permanent="false">
      <single-value comparison="greater-than" value="4"/>
      <action max-frequency="3600"><email>ops@example.com</email><log/></action>
    </action-trigger>
    <action-trigger value-type="maximum" permanent="true">
      <interval-value low-value="0" high-value="8" inside-outside-range="outside"/>
      <action max-frequency="600"><trap/></action>
    </action-trigger>
  </monitor-entry>
  <monitor-entry variable="uptime" log="false">
    <frequency><asynchronous/></frequency>
  </monitor-entry>
  <monitor-entry variable="cpu" log="true">
    <frequency><daily every="1"><time-of-day hour="3" min="30"/></daily></frequency>
    <action-trigger value-type="instantaneous" permanent="false"><value-changes/><action max-frequency="0"><udp/></action></action-trigger>
  </monitor-entry>
</monitor-config>
)";

const std::string kEntry1 = R"(<monitor-entry variable="uptime" log="false"><frequency><asynchronous/></frequency></monitor-entry>)";

void expectReply(const nlohmann::json& r, int result, int msgId, const std::string& text)
{
    EXPECT_EQ(result, r["result"]) << text;
    EXPECT_EQ(msgId, r["msgID"]) << text;
    EXPECT_EQ(text, r["reply"]);
}

std::vector<nlohmann::json> run(const TempRoot& root, const std::string& script, size_t expected)
{
    auto host = runScript(root, script);
    EXPECT_EQ(expected, host.replies.size()) << host.err;
    host.replies.resize(expected);
    return host.replies;
}

TEST(MonitorConfigsTest, EntriesAreCountedReadChangedAddedDeletedAndCommitted)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    const std::string added = R"(  <monitor-entry variable="memory-available" log="false"> <frequency>)"
                              R"(<weekly every="2" day-of-week="sun"><time-of-day hour="23" min="5"/></weekly></frequency></monitor-entry>)";
    auto r = run(root,
                 "get " + K + "monitor-entry-count/\nget " + K + "monitor-entry/1/\nget " + K +
                     "monitor-entry/abc/\nget " + K + "monitor-entry/-1/\nget " + K + "monitor-entry/3/\n"
                     "get " + K + "monitor-entry/4294967296/\n"
                     "set " + K + "monitor-entry/3/ 3/<monitor-entry variable=\"x\"/>\n"
                     "set " + K + "monitor-entry/9/ 1/<monitor-entry  log=\"true\" variable=\"uptime\"> "
                     "<frequency><seconds> 30 </seconds></frequency> </monitor-entry>\n"
                     "add " + K + "monitor-entry/ " + added + "\ndel " + K + "monitor-entry/1/\nget " + K +
                     "monitor-entry/1/\nget " + K + "monitor-entry/2/\nget " + K + "monitor-entry-count/\ncommit\n",
                 14);
    expectReply(r[0], 0, 0, "3");
    expectReply(r[1], 0, 0, kEntry1);
    EXPECT_EQ(0, r[2]["result"]);
    EXPECT_EQ(0u, r[2]["reply"].get<std::string>().find("<monitor-entry variable=\"load-average\""));
    expectReply(r[3], -3, -3, " Monitor Entry index -1 does not exist");
    expectReply(r[4], -3, -3, " Monitor Entry index 3 does not exist");
    // Indexes convert as on the 32-bit appliance: beyond 32 bits they
    // saturate, they never wrap around to an existing entry.
    expectReply(r[5], -3, -3, " Monitor Entry index 4294967296 does not exist");
    expectReply(r[6], -3, -3, " Monitor Entry index 3 does not exist");
    // The value's index selects; the reply is the stored entry generated anew.
    expectReply(r[7], 0, 0, R"(<monitor-entry variable="uptime" log="true"><frequency><seconds>30</seconds></frequency></monitor-entry>)");
    // An add answers with the text exactly as sent.
    expectReply(r[8], 0, 0, added);
    expectReply(r[9], 0, 0, " Monitor Entry index 1 has been removed");
    EXPECT_EQ(0u, r[10]["reply"].get<std::string>().find(R"(<monitor-entry variable="cpu" log="true"><frequency><daily every="1">)"));
    const std::string weekly = R"(<monitor-entry variable="memory-available" log="false"><frequency>)"
                               R"(<weekly every="2" day-of-week="sun"><time-of-day hour="23" min="05"/></weekly></frequency></monitor-entry>)";
    expectReply(r[11], 0, 0, weekly);
    expectReply(r[12], 0, 0, "3");
    expectReply(r[13], 0, 0, " Monitor configuration saved in " + root.at(kConfig));
    EXPECT_EQ(1, r[13]["notices"]);

    // What the commit wrote is what the next session reads.
    auto again = run(root, "get " + K + "monitor-entry-count/\nget " + K + "monitor-entry/2/\n", 2);
    expectReply(again[0], 0, 0, "3");
    expectReply(again[1], 0, 0, weekly);
}

TEST(MonitorConfigsTest, TriggersFollowTheEntryRulesAndTheirOwnNotFoundTexts)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    const std::string trigger = K + "action-trigger/";
    const std::string minimum = R"(<action-trigger value-type="minimum" permanent="true"><single-value comparison="less-than" value="0.5"/>)"
                                R"(<action max-frequency="60"><email>noc/storage@example.com</email></action></action-trigger>)";
    auto r = run(root,
                 "get " + K + "action-trigger-count/1/\nget " + K + "action-trigger-count/2/\nget " + trigger +
                     "0/2/\nset " + trigger + "0/2/ 0/2/<action-trigger><value-changes/></action-trigger>\nget " +
                     trigger + "0/-1/\nset " + trigger + "0/-1/ 0/-1/<action-trigger><value-changes/></action-trigger>\n"
                     "del " + trigger + "0/-1/\nget " + trigger + "5/0/\nadd " + trigger +
                     "1/ 1/<action-trigger value-type=\"average\"><value-changes/></action-trigger>\nadd " + trigger +
                     "0/ 0/" + minimum + "\nget " + K + "action-trigger-count/0/\nset " + trigger +
                     "0/1/ 0/1/<action-trigger><value-changes/></action-trigger>\ndel " + trigger + "0/0/\nget " +
                     trigger + "0/0/\nget " + trigger + "0/1/\ncommit\n",
                 16);
    expectReply(r[0], -3, -3, " No Action Triggers in Monitor Entry 1");
    expectReply(r[1], 0, 0, "1 Action Triggers");
    expectReply(r[2], -3, -3, " Action Trigger index 2 does not exist in Monitor Entry 0");
    expectReply(r[3], -3, -3, "Action Trigger index 2 does not exist in Monitor Entry 0");
    expectReply(r[4], -3, -3, " Action Trigger index -1 does not exist in Monitor Entry 0");
    expectReply(r[5], -6, 0, "Trigger not found with the specified index");
    expectReply(r[6], -6, 0, "Trigger not found with the specified index");
    expectReply(r[7], -3, -3, " Monitor Entry index 5 does not exist");
    expectReply(r[8], -6, 0, "A non instantaneous trigger cannot be added to an entry that's not logged");
    expectReply(r[9], 0, 0, minimum);
    expectReply(r[10], 0, 0, "3 Action Triggers");
    // A set replaces the trigger wholly, its action included.
    const std::string changes = R"(<action-trigger value-type="instantaneous" permanent="false"><value-changes/><action max-frequency="0"/></action-trigger>)";
    expectReply(r[11], 0, 0, changes);
    expectReply(r[12], 0, 0, " Action Trigger index 0 has been removed from Monitor Entry 0");
    expectReply(r[13], 0, 0, changes);
    expectReply(r[14], 0, 0, minimum);
    EXPECT_EQ(1, r[15]["notices"]);
}

// Requests that lack what they address, and XML that does not parse, leave
// the table, the file and the session's dirty flag as they were.
TEST(MonitorConfigsTest, BadRequestsChangeNothing)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    auto r = run(root,
                 "set " + K + "monitor-entry/0/ 0\nset " + K + "monitor-entry/ 0/<monitor-entry/>\nset " + K +
                     "action-trigger/0/0/ 0/1\nadd " + K + "action-trigger/0/ 0\nget " + K +
                     "action-trigger/0/\ndel " + K + "action-trigger/0/\nget " + K + "action-trigger-count/\ndel " +
                     K + "monitor-entry//\nget " + K + "preset-trigger/\nget " + K +
                     "variable-configuration/\nset " + K + "monitor-entry/0/ 0/<monitor-entry>\ncommit\nget " + K +
                     "monitor-entry/1/\n",
                 13);
    expectReply(r[0], -6, -6, " No XML text in the value: expected the entry index, a '/' and one monitor-entry");
    expectReply(r[1], -6, -6, " No monitor entry index in key " + K + "monitor-entry/");
    expectReply(r[2], -6, -6,
                " No XML text in the value: expected the entry index, a '/', the trigger index, a '/' and one action-trigger");
    expectReply(r[3], -6, -6, " No XML text in the value: expected the entry index, a '/' and one action-trigger");
    expectReply(r[4], -6, -6, " No action trigger index in key " + K + "action-trigger/0/");
    expectReply(r[5], -6, -6, " No action trigger index in key " + K + "action-trigger/0/");
    expectReply(r[6], -6, -6, " No monitor entry index in key " + K + "action-trigger-count/");
    expectReply(r[7], -6, -6, " No monitor entry index in key " + K + "monitor-entry//");
    expectReply(r[8], -6, -6, " No preset index in key " + K + "preset-trigger/");
    expectReply(r[9], -6, -6, " No variable name in key " + K + "variable-configuration/");
    expectReply(r[10], -6, 0, "Parsing errors occurred");
    expectReply(r[11], 0, 0, " No session changes\n");
    expectReply(r[12], 0, 0, kEntry1);
    EXPECT_EQ(kMonitorCfg, zortest::readFile(root.at(kConfig)));
}

TEST(MonitorConfigsTest, PresetsAndVariables)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    const std::string log = root.at("host.log");
    const std::string presets = "get " + K + "preset-trigger-count/\nget " + K + "preset-trigger/0/\n";
    auto bare = runScript(root, presets, {"--log", log});
    ASSERT_EQ(2u, bare.replies.size()) << bare.err;
    expectReply(bare.replies[0], 0, 0, "0");
    expectReply(bare.replies[1], -3, 0, "preset trigger index out of bounds");
    EXPECT_NE(std::string::npos, zortest::readFile(log).find("Monitoring Configuration Exception: preset file not found\n"));

    root.copyData("monitoring/PresetTriggers.cfg", "etc/configs/monitor/PresetTriggers.cfg");
    auto r = run(root,
                 presets + "get " + K + "preset-trigger/3/\nget " + K + "preset-trigger/4/\nget " + K +
                     "preset-trigger/-1/\nget " + K + "preset-trigger/abc/\nget " + K +
                     "variable-configuration/no-such-thing/\n",
                 7);
    expectReply(r[0], 0, 0, "4");
    EXPECT_EQ(0u, r[1]["reply"].get<std::string>().find("<preset-variable name=\"cpu-load\""));
    expectReply(r[2], 0, 0, "<preset-variable name=\"fan-speed\"/>");
    expectReply(r[3], -3, 0, "preset trigger index out of bounds");
    expectReply(r[4], -3, 0, "preset trigger index out of bounds");
    EXPECT_EQ(r[1]["reply"], r[5]["reply"]);
    // The host's code passes through as message id and result.
    EXPECT_EQ(-3, r[6]["result"]);
    EXPECT_EQ(-3, r[6]["msgID"]);
}

// A commit killed at any point leaves Monitor.cfg whole: the old table or the
// new one, never a mixture. Temporary files of killed commits are removed by
// the next session that starts up. Half the kills land anywhere in the run,
// half just after the commit has created its temporary file.
TEST(MonitorConfigsTest, KilledCommitsLeaveAWholeFile)
{
    TempRoot root;
    std::string big = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config>\n";
    for (int i = 0; i < 3000; ++i) {
        big += "<monitor-entry variable=\"cpu\" log=\"true\"><frequency><seconds>" + std::to_string(i + 1) +
               "</seconds></frequency><action-trigger><value-changes/><action max-frequency=\"0\"><log/></action>"
               "</action-trigger></monitor-entry>\n";
    }
    root.write(kConfig, big + "</monitor-config>\n");
    root.write("commit.zor", "add " + K + "monitor-entry/ <monitor-entry variable=\"uptime\"/>\ncommit\n");
    const std::string folder = root.at("etc/configs/monitor");
    const std::vector<std::string> args = {zortest::binPath("zorhost"), "--root", root.path(), "--log", "/dev/null",
                                           "--script", root.at("commit.zor")};
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_LE(0, watch);
    ASSERT_LE(0, inotify_add_watch(watch, folder.c_str(), IN_CREATE));

    // How long one whole commit run takes here: the first kinds of kill land inside it.
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0, zortest::runZorhost({args.begin() + 1, args.end()}).status);
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    int count = 3001;

    unsigned int seedValue = std::random_device()();
    std::mt19937 random(seedValue);
    std::uniform_int_distribution<long> anywhere(0, span.count());
    std::uniform_int_distribution<long> afterCreate(0, 3000);
    int interrupted = 0;
    for (int attempt = 0; attempt < 30; ++attempt) {
        SCOPED_TRACE("seed " + std::to_string(seedValue) + ", attempt " + std::to_string(attempt));
        char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
        pid_t pid = fork();
        ASSERT_LE(0, pid);
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            std::vector<char*> argv;
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (attempt % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(anywhere(random)));
        } else {
            pollfd created{watch, POLLIN, 0};
            poll(&created, 1, 20000);
            std::this_thread::sleep_for(std::chrono::microseconds(afterCreate(random)));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()) > 1) {
            ++interrupted;
        }

        auto check = runScript(root, "get " + K + "monitor-entry-count/\n");
        ASSERT_EQ(1u, check.replies.size()) << check.err;
        const std::string now = check.replies[0]["reply"];
        ASSERT_TRUE(now == std::to_string(count) || now == std::to_string(count + 1)) << now;
        count = std::stoi(now);
        for (const auto& file : std::filesystem::directory_iterator(folder)) {
            EXPECT_EQ("Monitor.cfg", file.path().filename().string());
        }
    }
    close(watch);
    RecordProperty("commits_interrupted_mid_write", interrupted);
    std::cout << "commits interrupted while writing: " << interrupted << " of 30\n";
}

} // namespace
