// The log and live-value keys and the frame's own refusals end to end:
// through the real zorhost, on a temporary root.
#include "zortest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using zortest::runScript;
using zortest::TempRoot;

namespace {

const std::string kLogList = "get /zor/public/system/monitor/monitorLogList/\n";
const std::string kLog = "/zor/public/system/monitor/monitorLog/";
const std::string kVariable = "/zor/public/system/monitor/variable/";

std::set<std::string> splitNames(const std::string& list)
{
    std::set<std::string> names;
    std::istringstream in(list);
    std::string name;
    while (std::getline(in, name, ',')) {
        names.insert(name);
    }
    return names;
}

TEST(MonitorLogsTest, ListNamesRegularFilesOnlyAndSaysWhenThereAreNone)
{
    TempRoot root;
    auto missing = runScript(root, kLogList);
    ASSERT_EQ(1u, missing.replies.size()) << missing.err;
    EXPECT_EQ(-9, missing.replies[0]["result"]);
    EXPECT_EQ(0, missing.replies[0]["msgID"]);
    EXPECT_EQ(" Cannot open directory " + root.path() + "/var/log/monitor/", missing.replies[0]["reply"]);
    EXPECT_EQ(1, missing.status);

    root.mkdir("var/log/monitor");
    auto empty = runScript(root, kLogList);
    ASSERT_EQ(1u, empty.replies.size()) << empty.err;
    EXPECT_EQ(0, empty.replies[0]["result"]);
    EXPECT_EQ(" No log files found", empty.replies[0]["reply"]);

    root.write("var/log/monitor/a.log", "x\n");
    root.write("var/log/monitor/b.txt", "y\n");
    root.mkdir("var/log/monitor/archive.log");
    auto listed = runScript(root, kLogList);
    ASSERT_EQ(1u, listed.replies.size()) << listed.err;
    EXPECT_EQ(0, listed.replies[0]["result"]);
    EXPECT_EQ(0, listed.replies[0]["msgID"]);
    EXPECT_EQ((std::set<std::string>{"a.log", "b.txt"}), splitNames(listed.replies[0]["reply"]));
    EXPECT_EQ(0, listed.status);
}

TEST(MonitorLogsTest, LogFileArrivesWholeAndBadNamesOrFilesAreRefused)
{
    TempRoot root;
    std::string content;
    for (int i = 0; content.size() < 5000; ++i) {
        content += "2024-03-01 12:00:" + std::to_string(i % 60) + " load-average 0.5\n";
    }
    content.resize(5000);
    content[100] = '\0'; // raw bytes travel as they are, zero bytes included
    content[101] = '\x01';
    root.write("var/log/monitor/d20240301.log", content);
    root.write("var/log/monitor/empty.log", "");
    root.mkdir("var/log/monitor/folder.log");
    const std::string dir = root.path() + "/var/log/monitor/";
    ASSERT_EQ(0, mkfifo((dir + "pipe.log").c_str(), 0600));
    root.write("var/log/monitor/huge.log", "");
    std::filesystem::resize_file(dir + "huge.log", 3ull << 30); // sparse: no disk used

    // A small starting reply size makes the whole file one reserved buffer.
    auto run = runScript(root,
                         "get " + kLog + "d20240301\n"
                         "get " + kLog + "empty/\n"
                         "get " + kLog + "nope\n"
                         "get " + kLog + "folder\n"
                         "get " + kLog + "pipe\n"
                         "get " + kLog + "huge\n"
                         "get " + kLog + "/\n"
                         "get " + kLog + "..\n"
                         "get:1 /\n",
                         {"--msg-size", "100"});
    ASSERT_EQ(9u, run.replies.size()) << run.err;
    const auto& r = run.replies;

    EXPECT_EQ(0, r[0]["result"]);
    EXPECT_EQ(5000, r[0]["used"]);
    EXPECT_EQ(content, r[0]["reply"].get<std::string>());
    EXPECT_EQ(0, r[1]["result"]);
    EXPECT_EQ(0, r[1]["used"]);

    EXPECT_EQ(-9, r[2]["result"]);
    EXPECT_EQ(0, r[2]["msgID"]);
    EXPECT_EQ(" Cannot determine status of file: " + dir + "nope.log", r[2]["reply"]);
    EXPECT_EQ(-10000, r[3]["result"]);
    EXPECT_EQ(0, r[3]["msgID"]);
    EXPECT_EQ(" Bytes read does not match file size", r[3]["reply"]);
    EXPECT_EQ(-9, r[4]["result"]);
    EXPECT_EQ(" Not a regular file: " + dir + "pipe.log", r[4]["reply"]);
    EXPECT_EQ(-9, r[5]["result"]);
    EXPECT_EQ(" Log file too large to return: " + dir + "huge.log", r[5]["reply"]);

    // No log name, or one that can only mean a folder: refused before the
    // file system is asked.
    EXPECT_EQ(" No valid log name in key " + kLog + "/", r[6]["reply"]);
    EXPECT_EQ(" No valid log name in key " + kLog + "..", r[7]["reply"]);
    EXPECT_EQ(" No valid log name in key /", r[8]["reply"]);
    for (int i = 6; i <= 8; ++i) {
        EXPECT_EQ(-9, r[i]["result"]) << i;
        EXPECT_EQ(-9, r[i]["msgID"]) << i;
    }

    if (geteuid() != 0) { // root reads whatever the mode says
        chmod((dir + "d20240301.log").c_str(), 0);
        auto locked = runScript(root, "get " + kLog + "d20240301\n");
        ASSERT_EQ(1u, locked.replies.size()) << locked.err;
        EXPECT_EQ(-9, locked.replies[0]["result"]);
        EXPECT_EQ(" Cannot open file: " + dir + "d20240301.log", locked.replies[0]["reply"]);
    }
}

TEST(MonitorLogsTest, LiveValuesComeFromTheHostAndMalformedVariableKeysAreRefused)
{
    TempRoot root;
    auto run = runScript(root,
                         "get " + kVariable + "uptime/\n"
                         "get " + kVariable + "uptime\n"
                         "get " + kVariable + "no-such-variable/\n"
                         "get " + kVariable + "\n"
                         "get " + kVariable + "/\n"
                         "get " + kVariable + "uptime/extra/\n"
                         "get:4 /zor/public/system/monitor/variableList/\n"
                         "get /zor/public/system/monitor/interval/\n",
                         {"--interval", "300"});
    ASSERT_EQ(8u, run.replies.size()) << run.err;
    const auto& r = run.replies;

    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, r[i]["result"]) << i;
        const std::string value = r[i]["reply"];
        EXPECT_FALSE(value.empty()) << i;
        EXPECT_TRUE(std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; }))
            << value;
    }
    // The host's code and text pass through unchanged.
    EXPECT_EQ(-3, r[2]["result"]);
    EXPECT_EQ(-3, r[2]["msgID"]);
    EXPECT_NE(std::string::npos, r[2]["reply"].get<std::string>().find("no-such-variable"));

    EXPECT_EQ(" No variable name in key " + kVariable, r[3]["reply"]);
    EXPECT_EQ(" No variable name in key " + kVariable + "/", r[4]["reply"]);
    EXPECT_EQ(" Unexpected parts after the variable name in key " + kVariable + "uptime/extra/", r[5]["reply"]);
    EXPECT_EQ(" No variable name in key /zor/public/system/monitor/variableList/", r[6]["reply"]);
    for (int i = 3; i <= 6; ++i) {
        EXPECT_EQ(-6, r[i]["result"]) << i;
        EXPECT_EQ(-6, r[i]["msgID"]) << i;
    }

    EXPECT_EQ(0, r[7]["result"]);
    EXPECT_EQ(" Current monitoring interval is 300 seconds", r[7]["reply"]);
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
    EXPECT_EQ(-9999, r[0]["result"]);
    EXPECT_EQ(" Log Graph function not implemented", r[0]["reply"]);
    EXPECT_EQ(-9999, r[1]["result"]);
    EXPECT_EQ(" Variable list function not implemented", r[1]["reply"]);
    EXPECT_EQ(-1, r[2]["result"]);
    EXPECT_EQ(" Unable to find key\n", r[2]["reply"]);
    EXPECT_EQ(-1, r[3]["result"]);
    EXPECT_EQ("Unable to find key\n", r[3]["reply"]);
    EXPECT_EQ(-6, r[4]["result"]);
    EXPECT_EQ(" No debug level given in the value", r[4]["reply"]);
    EXPECT_EQ(0, r[5]["result"]);
    EXPECT_EQ(0, r[5]["used"]);
    EXPECT_EQ(0, r[6]["result"]);
    EXPECT_EQ(" No session changes\n", r[6]["reply"]);
    EXPECT_EQ(1, run.status);
}

} // namespace
