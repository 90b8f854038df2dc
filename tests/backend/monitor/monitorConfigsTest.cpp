// The configuration keys end to end: through the real zorhost, on temporary
// roots holding a small Monitor.cfg; each script is sent whole, failing
// requests included.
#include "testHost.h"

#include <sys/wait.h>
#include <unistd.h>

using namespace montest;
using zortest::TempRoot;

namespace {

const std::string K = "/zor/public/system/monitor/config/";
const std::string kConfig = "etc/configs/monitor/Monitor.cfg";

// Entry 0: two triggers; entry 1: not logged, no trigger; entry 2: one trigger.
const std::string kMonitorCfg = R"(<?xml version="1.0" encoding="UTF-8"?>
<monitor-config>
  <monitor-entry variable="load-average" log="true"><frequency><seconds>60</seconds></frequency>
    <action-trigger value-type="average" permanent="false"><single-value comparison="greater-than" value="4"/>
      <action max-frequency="3600"><email>ops@example.com</email><log/></action></action-trigger>
    <action-trigger value-type="maximum" permanent="true">
      <interval-value low-value="0" high-value="8" inside-outside-range="outside"/><action><trap/></action></action-trigger>
  </monitor-entry>
  <monitor-entry variable="uptime" log="false"><frequency><asynchronous/></frequency></monitor-entry>
  <monitor-entry variable="cpu" log="true"><frequency><daily every="1"><time-of-day hour="3" min="30"/></daily></frequency>
    <action-trigger><value-changes/><action><udp/></action></action-trigger></monitor-entry>
</monitor-config>
)";

const std::string kEntry1 = R"(<monitor-entry variable="uptime" log="false"><frequency><asynchronous/></frequency></monitor-entry>)";

TEST(MonitorConfigsTest, EntriesAreCountedReadChangedAddedDeletedAndCommitted)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    const std::string added = R"(  <monitor-entry variable="memory-available" log="false"> <frequency>)"
                              R"(<weekly every="2" day-of-week="sun"><time-of-day hour="23" min="5"/></weekly></frequency></monitor-entry>)";
    const std::string weekly = R"(<monitor-entry variable="memory-available" log="false"><frequency>)"
                               R"(<weekly every="2" day-of-week="sun"><time-of-day hour="23" min="05"/></weekly></frequency></monitor-entry>)";
    auto r = expectSession(root, {
        {"get monitor-entry-count/", 0, 0, "3"},
        {"get monitor-entry/1/", 0, 0, kEntry1},
        {"get monitor-entry/3/", -3, -3, " Monitor Entry index 3 does not exist"},
        // The value's index selects; the reply is the stored entry generated anew.
        {"set monitor-entry/9/ 1/<monitor-entry  log=\"true\" variable=\"uptime\"> <frequency><seconds> 30 </seconds>"
         "</frequency> </monitor-entry>", 0, 0,
         R"(<monitor-entry variable="uptime" log="true"><frequency><seconds>30</seconds></frequency></monitor-entry>)"},
        {"add monitor-entry/ " + added, 0, 0, added}, // the text exactly as sent
        {"del monitor-entry/1/", 0, 0, " Monitor Entry index 1 has been removed"},
        {"get monitor-entry/1/", 0, 0, R"(<monitor-entry variable="cpu" log="true"><frequency><daily every="1">...)"},
        {"get monitor-entry/2/", 0, 0, weekly},
        {"commit", 0, 0, " Monitor configuration saved in " + root.at(kConfig)}}, K, {"--keep-going"});
    EXPECT_EQ(1, r[8]["notices"]);
    // What the commit wrote is what the next session reads.
    expectSession(root, {{"get monitor-entry/2/", 0, 0, weekly}}, K, {"--keep-going"});
}

TEST(MonitorConfigsTest, TriggersFollowTheEntryRulesAndTheirOwnNotFoundTexts)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    const std::string minimum = R"(<action-trigger value-type="minimum" permanent="true"><single-value comparison="less-than" value="0.5"/>)"
                                R"(<action max-frequency="60"><email>noc/storage@example.com</email></action></action-trigger>)";
    const std::string changes = "<action-trigger><value-changes/></action-trigger>";
    // A set replaces the trigger wholly, its action included.
    const std::string regenerated = R"(<action-trigger value-type="instantaneous" permanent="false"><value-changes/><action max-frequency="0"/></action-trigger>)";
    expectSession(root, {
        {"get action-trigger-count/1/", -3, -3, " No Action Triggers in Monitor Entry 1"},
        {"get action-trigger-count/2/", 0, 0, "1 Action Triggers"},
        {"get action-trigger/0/2/", -3, -3, " Action Trigger index 2 does not exist in Monitor Entry 0"},
        {"set action-trigger/0/2/ 0/2/" + changes, -3, -3, "Action Trigger index 2 does not exist in Monitor Entry 0"},
        {"get action-trigger/5/0/", -3, -3, " Monitor Entry index 5 does not exist"},
        {"add action-trigger/1/ 1/<action-trigger value-type=\"average\"><value-changes/></action-trigger>", -6, 0,
         "A non instantaneous trigger cannot be added to an entry that's not logged"},
        {"add action-trigger/0/ 0/" + minimum, 0, 0, minimum},
        {"get action-trigger-count/0/", 0, 0, "3 Action Triggers"},
        {"set action-trigger/0/1/ 0/1/" + changes, 0, 0, regenerated},
        {"del action-trigger/0/0/", 0, 0, " Action Trigger index 0 has been removed from Monitor Entry 0"},
        {"get action-trigger/0/0/", 0, 0, regenerated},
        {"get action-trigger/0/1/", 0, 0, minimum}}, K, {"--keep-going"});
}

// Requests that lack what they address leave the table, the file and the
// session's dirty flag as they were (the other missing parts: bad_input_test).
TEST(MonitorConfigsTest, BadRequestsChangeNothing)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    expectSession(root, {
        {"del action-trigger/0/", -6, -6, " No action trigger index in key " + K + "action-trigger/0/"},
        {"get action-trigger-count/", -6, -6, " No monitor entry index in key " + K + "action-trigger-count/"},
        {"del monitor-entry//", -6, -6, " No monitor entry index in key " + K + "monitor-entry//"},
        {"commit", 0, 0, " No session changes\n"},
        {"get monitor-entry/1/", 0, 0, kEntry1}}, K, {"--keep-going"});
    EXPECT_EQ(kMonitorCfg, zortest::readFile(root.at(kConfig)));
}

TEST(MonitorConfigsTest, PresetsAndVariables)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    const std::string outOfBounds = "preset trigger index out of bounds";
    expectSession(root, {{"get preset-trigger-count/", 0, 0, "0"}, {"get preset-trigger/0/", -3, 0, outOfBounds}}, K,
                  {"--log", root.at("host.log"), "--keep-going"});
    EXPECT_NE(std::string::npos,
              zortest::readFile(root.at("host.log")).find("Monitoring Configuration Exception: preset file not found\n"));

    root.copyData("monitoring/PresetTriggers.cfg", "etc/configs/monitor/PresetTriggers.cfg");
    auto r = expectSession(root, {
        {"get preset-trigger-count/", 0, 0, "4"},
        {"get preset-trigger/abc/", 0, 0, "<preset-variable name=\"cpu-load\"..."},
        {"get preset-trigger/3/", 0, 0, "<preset-variable name=\"fan-speed\"/>"},
        {"get preset-trigger/4/", -3, 0, outOfBounds},
        {"get preset-trigger/-1/", -3, 0, outOfBounds},
        // The host's code passes through as message id and result.
        {"get variable-configuration/no-such-thing/", -3, -3, "..."},
        {"get variable-count/", 0, 0, "..."},
        {"get variables-supported/", 0, 0, "..."}}, K, {"--keep-going"});
    EXPECT_NE("", r[6]["reply"]);
    EXPECT_NE("", r[7]["reply"]);
}

// A commit killed between writing its temporary file and renaming it leaves
// the temporary beside Monitor.cfg (which the writer replaces whole, see the
// XML tests); the next session start removes it once its writer is gone, and
// leaves alone the one of a living process, which may still be committing.
TEST(MonitorConfigsTest, StartUpRemovesTheTemporariesOfDeadWriters)
{
    TempRoot root;
    root.write(kConfig, kMonitorCfg);
    pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
    const std::string abandoned = "etc/configs/monitor/.Monitor.cfg.tmp." + std::to_string(gone) + ".1";
    const std::string busy = "etc/configs/monitor/.Monitor.cfg.tmp." + std::to_string(getpid()) + ".1";
    root.write(abandoned, "<monitor-config><monitor-en");
    root.write(busy, "<monitor-config>");
    expectSession(root, {{"get monitor-entry-count/", 0, 0, "3"}}, K, {"--keep-going"});
    EXPECT_FALSE(zortest::fileExists(root.at(abandoned)));
    EXPECT_TRUE(zortest::fileExists(root.at(busy)));
}

} // namespace
