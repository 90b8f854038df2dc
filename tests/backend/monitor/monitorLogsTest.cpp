// The log and live-value keys and the frame's own refusals end to end:
// through the real zorhost, on a temporary root.
#include "zortest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>

using zortest::runScript;
using zortest::TempRoot;

namespace {

const std::string kLog = "/zor/public/system/monitor/monitorLog/";
const std::string kVariable = "/zor/public/system/monitor/variable/";

void expectReply(const nlohmann::json& r, int result, int msgId, const std::string& text)
{
    EXPECT_EQ(result, r["result"]) << text;
    EXPECT_EQ(msgId, r["msgID"]) << text;
    EXPECT_EQ(text, r["reply"]);
}

TEST(MonitorLogsTest, ListNamesRegularFilesOnlyAndSaysWhenThereAreNone)
{
    TempRoot root;
    const std::string list = "get /zor/public/system/monitor/monitorLogList/\n";
    auto missing = runScript(root, list);
    ASSERT_EQ(1u, missing.replies.size()) << missing.err;
    expectReply(missing.replies[0], -9, 0, " Cannot open directory " + root.path() + "/var/log/monitor/");
    EXPECT_EQ(1, missing.status);

    root.mkdir("var/log/monitor");
    auto empty = runScript(root, list);
    ASSERT_EQ(1u, empty.replies.size()) << empty.err;
    expectReply(empty.replies[0], 0, 0, " No log files found");

    root.write("var/log/monitor/a.log", "x\n");
    root.write("var/log/monitor/b.txt", "y\n");
    root.mkdir("var/log/monitor/archive.log");
    auto listed = runScript(root, list);
    ASSERT_EQ(1u, listed.replies.size()) << listed.err;
    const std::string names = listed.replies[0]["reply"];
    EXPECT_TRUE(names == "a.log,b.txt" || names == "b.txt,a.log") << names;
    EXPECT_EQ(0, listed.status);
}

TEST(MonitorLogsTest, LogFileArrivesWholeAndBadNamesOrFilesAreRefused)
{
    TempRoot root;
    std::string content;
    while (content.size() < 5000) {
        content += "2024-03-01 12:00:00 sample load-average=0.52\n";
    }
    content.resize(5000);
    content[100] = '\0'; // raw bytes travel as they are, zero bytes included
    const std::string dir = root.path() + "/var/log/monitor/";
    root.write("var/log/monitor/d20240301.log", content);
    root.write("var/log/monitor/empty.log", "");
    root.mkdir("var/log/monitor/folder.log");
    ASSERT_EQ(0, mkfifo((dir + "pipe.log").c_str(), 0600));
    root.write("var/log/monitor/huge.log", "");
    std::filesystem::resize_file(dir + "huge.log", 3ull << 30); // sparse: no disk used

    // A small starting size: the whole file must still arrive in one reply.
    auto run = runScript(root,
                         "get " + kLog + "d20240301\nget " + kLog + "empty/\nget " + kLog + "nope\nget " + kLog +
                             "folder\nget " + kLog + "pipe\nget " + kLog + "huge\nget " + kLog + "/\nget " + kLog +
                             "..\nget:1 /\n",
                         {"--msg-size", "100"});
    ASSERT_EQ(9u, run.replies.size()) << run.err;
    const auto& r = run.replies;
    EXPECT_EQ(5000, r[0]["used"]);
    expectReply(r[0], 0, 0, content);
    EXPECT_EQ(0, r[1]["used"]);
    expectReply(r[1], 0, 0, "");
    expectReply(r[2], -9, 0, " Cannot determine status of file: " + dir + "nope.log");
    expectReply(r[3], -10000, 0, " Bytes read does not match file size");
    expectReply(r[4], -9, -9, " Not a regular file: " + dir + "pipe.log");
    expectReply(r[5], -9, -9, " Log file too large to return: " + dir + "huge.log");
    // No log name, or one that can only mean a folder: refused before the
    // file system is asked.
    expectReply(r[6], -9, -9, " No valid log name in key " + kLog + "/");
    expectReply(r[7], -9, -9, " No valid log name in key " + kLog + "..");
    expectReply(r[8], -9, -9, " No valid log name in key /");
}

TEST(MonitorLogsTest, LiveValuesComeFromTheHostAndMalformedVariableKeysAreRefused)
{
    TempRoot root;
    auto run = runScript(root,
                         "get " + kVariable + "uptime/\nget " + kVariable + "uptime\nget " + kVariable +
                             "no-such-variable/\nget " + kVariable + "\nget " + kVariable + "/\nget " + kVariable +
                             "uptime/extra/\nget:4 /zor/public/system/monitor/variableList/\n"
                             "get /zor/public/system/monitor/interval/\n",
                         {"--interval", "300"});
    ASSERT_EQ(8u, run.replies.size()) << run.err;
    const auto& r = run.replies;
    // With or without the final "/", the name is the part after "variable/".
    for (int i : {0, 1}) {
        EXPECT_EQ(0, r[i]["result"]);
        EXPECT_TRUE(std::regex_match(r[i]["reply"].get<std::string>(), std::regex("[0-9.]+"))) << r[i]["reply"];
    }
    // The host's code and text pass through unchanged.
    EXPECT_EQ(-3, r[2]["result"]);
    EXPECT_EQ(-3, r[2]["msgID"]);
    EXPECT_NE(std::string::npos, r[2]["reply"].get<std::string>().find("no-such-variable"));
    expectReply(r[3], -6, -6, " No variable name in key " + kVariable);
    expectReply(r[4], -6, -6, " No variable name in key " + kVariable + "/");
    expectReply(r[5], -6, -6, " Unexpected parts after the variable name in key " + kVariable + "uptime/extra/");
    expectReply(r[6], -6, -6, " No variable name in key /zor/public/system/monitor/variableList/");
    expectReply(r[7], 0, 0, " Current monitoring interval is 300 seconds");
}

TEST(MonitorLogsTest, FrameRefusalsThroughTheHost)
{
    TempRoot root;
    auto run = runScript(root,
                         "get /zor/public/system/monitor/monitorLogGraph/\n"
                         "get /zor/public/system/monitor/variableList/\n"
                         "get:15 /zor/public/system/monitor/global-debug-level/\n"
                         "set:6 /zor/public/system/monitor/config/monitor-entry-count/\n"
                         "set /zor/public/system/monitor/global-debug-level/\n"
                         "set /zor/public/system/monitor/global-debug-level/ 3\n"
                         "commit\n");
    ASSERT_EQ(7u, run.replies.size()) << run.err;
    const auto& r = run.replies;
    expectReply(r[0], -9999, -9999, " Log Graph function not implemented");
    expectReply(r[1], -9999, -9999, " Variable list function not implemented");
    expectReply(r[2], -1, -1, " Unable to find key\n");
    expectReply(r[3], -1, -1, "Unable to find key\n");
    expectReply(r[4], -6, -6, " No debug level given in the value");
    expectReply(r[5], 0, 0, "");
    expectReply(r[6], 0, 0, " No session changes\n");
    EXPECT_EQ(1, run.status);
}

} // namespace
