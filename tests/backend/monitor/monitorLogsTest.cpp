// The log and live-value keys and the frame's own refusals end to end:
// through the real zorhost, on a temporary root (each script sent whole,
// failing requests included); the log key's handling of special files and
// links in process, through the loaded module.
#include "testHost.h"

#include <filesystem>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace montest;

namespace {

const std::string M = "/zor/public/system/monitor/";

TEST(MonitorLogsTest, ListNamesRegularFilesOnlyAndSaysWhenThereAreNone)
{
    zortest::TempRoot root;
    EXPECT_EQ(1, zortest::runScript(root, "get " + M + "monitorLogList/\n").status); // a request failed
    expectSession(root, {{"get monitorLogList/", -9, 0, " Cannot open directory " + root.path() + "/var/log/monitor/"}}, M);
    root.mkdir("var/log/monitor");
    expectSession(root, {{"get monitorLogList/", 0, 0, " No log files found"}}, M);
    root.write("var/log/monitor/a.log", "x\n");
    root.write("var/log/monitor/b.txt", "y\n");
    root.mkdir("var/log/monitor/archive.log");
    std::string names = expectSession(root, {{"get monitorLogList/", 0, 0, "..."}}, M)[0]["reply"];
    EXPECT_TRUE(names == "a.log,b.txt" || names == "b.txt,a.log") << names;
    // A log past 2 GiB is still a regular file, on the 32-bit target too.
    root.write("var/log/monitor/d20400101.log", "");
    std::filesystem::resize_file(root.at("var/log/monitor/d20400101.log"), 3ull << 30); // sparse
    std::filesystem::remove(root.at("var/log/monitor/b.txt"));
    names = expectSession(root, {{"get monitorLogList/", 0, 0, "..."}}, M)[0]["reply"];
    EXPECT_TRUE(names == "a.log,d20400101.log" || names == "d20400101.log,a.log") << names;
}

TEST(MonitorLogsTest, LogFileArrivesWholeAndBadNamesOrFilesAreRefused)
{
    zortest::TempRoot root;
    std::string content(5000, 'x');
    content[100] = '\0'; // raw bytes travel as they are, zero bytes included
    const std::string dir = root.path() + "/var/log/monitor/";
    root.write("var/log/monitor/d20240301.log", content);
    root.write("var/log/monitor/empty.log", "");
    root.mkdir("var/log/monitor/folder.log");
    root.write("var/log/monitor/huge.log", "");
    std::filesystem::resize_file(dir + "huge.log", 3ull << 30); // sparse: no disk used

    // A small starting size: the whole file must still arrive in one reply.
    auto r = expectSession(root, {
        {"get " + M + "monitorLog/d20240301", 0, 0, content},
        {"get " + M + "monitorLog/empty/", 0, 0, ""},
        {"get " + M + "monitorLog/nope", -9, 0, " Cannot determine status of file: " + dir + "nope.log"},
        {"get " + M + "monitorLog/folder", -10000, 0, " Bytes read does not match file size"},
        {"get " + M + "monitorLog/huge", -9, -9, " Log file too large to return: " + dir + "huge.log"},
        // No log name, or one that can only mean a folder: refused before the file system is asked.
        {"get " + M + "monitorLog//", -9, -9, " No valid log name in key " + M + "monitorLog//"},
        {"get " + M + "monitorLog/..", -9, -9, " No valid log name in key " + M + "monitorLog/.."},
        {"get:1 /", -9, -9, " No valid log name in key /"}}, "", {"--msg-size", "100", "--keep-going"});
    EXPECT_EQ(5000, r[0]["used"]);
    EXPECT_EQ(0, r[1]["used"]);
}

TEST(MonitorLogsTest, LiveValuesComeFromTheHostAndMalformedVariableKeysAreRefused)
{
    zortest::TempRoot root;
    auto r = expectSession(root, {
        {"get variable/uptime/", 0, 0, "..."},
        {"get variable/uptime", 0, 0, "..."}, // the name is what follows "variable/", final "/" or not
        {"get variable/no-such-variable/", -3, -3, "..."}, // the host's code and text pass through
        {"get variable/", -6, -6, " No variable name in key " + M + "variable/"},
        {"get variable//", -6, -6, " No variable name in key " + M + "variable//"},
        {"get variable/uptime/extra/", -6, -6, " Unexpected parts after the variable name in key " + M + "variable/uptime/extra/"},
        {"get:4 variableList/", -6, -6, " No variable name in key " + M + "variableList/"},
        {"get interval/", 0, 0, " Current monitoring interval is 300 seconds"}}, M, {"--interval", "300", "--keep-going"});
    for (int i : {0, 1}) {
        EXPECT_TRUE(std::regex_match(r[i]["reply"].get<std::string>(), std::regex("[0-9.]+"))) << r[i]["reply"];
    }
    EXPECT_NE(std::string::npos, r[2]["reply"].get<std::string>().find("no-such-variable"));
}

TEST(MonitorLogsTest, FrameRefusalsThroughTheHost)
{
    zortest::TempRoot root;
    expectSession(root, {
        {"get monitorLogGraph/", -9999, -9999, " Log Graph function not implemented"},
        {"get variableList/", -9999, -9999, " Variable list function not implemented"},
        {"get:15 global-debug-level/", -1, -1, " Unable to find key\n"},
        {"get:1000 monitorLogList/", -1, -1, " Unable to find key\n"},
        {"set:6 config/monitor-entry-count/", -1, -1, "Unable to find key\n"},
        {"add:15 global-debug-level/ 3", -1, -1, "Unable to find key\n"},
        {"del:0 monitorLogList/", -1, -1, "Unable to find key\n"},
        {"set global-debug-level/", -6, -6, " No debug level given in the value"},
        {"commit", 0, 0, " No session changes\n"}}, M, {"--keep-going"});
}

// Files that are no plain logs of the folder: none may hang the request or
// be served from outside the folder, and each gets the reply of the failure
// it is (missing, cannot be opened, read short) or reads as what it holds.
class MonitorLogKeyTest : public ModuleTest {};

TEST_F(MonitorLogKeyTest, SpecialFilesGetTheirRepliesAndOnlyTheLogFolderIsServed)
{
    const std::string dir = root.at("var/log/monitor") + "/";
    root.write("var/log/monitor/real.log", "inside\n");
    root.write("var/log/archive/old.log", "outside\n");
    root.write("etc/secret", "top secret\n");
    root.mkdir("var/log/monitor/sub");
    root.mkdir("var/log/monitor/sub.log");
    root.write("var/log/monitor/sub/deep.log", "deep\n");
    ASSERT_EQ(0, mkfifo((dir + "pipe.log").c_str(), 0600));
    ASSERT_EQ(0, symlink((dir + "real.log").c_str(), (dir + "alias.log").c_str()));
    ASSERT_EQ(0, symlink("sub/deep.log", (dir + "relative.log").c_str()));
    ASSERT_EQ(0, symlink(root.at("etc/secret").c_str(), (dir + "secret.log").c_str()));
    ASSERT_EQ(0, symlink("../archive/old.log", (dir + "escape.log").c_str()));
    ASSERT_EQ(0, symlink((dir + "gone").c_str(), (dir + "dangling.log").c_str()));
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = dir + "socket.log";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address));

    Session s(*this);
    const std::string key = "/zor/public/system/monitor/monitorLog/";
    struct Case {
        const char* name;
        int result;
        std::string reply;
    };
    for (const Case& c : std::vector<Case>{
             {"pipe", 0, ""},
             {"socket", -9, " Cannot open file: " + dir + "socket.log"},
             {"alias", 0, "inside\n"},
             {"relative", 0, "deep\n"},
             {"secret", -9, " Cannot open file: " + dir + "secret.log"},
             {"escape", -9, " Cannot open file: " + dir + "escape.log"},
             {"dangling", -9, " Cannot determine status of file: " + dir + "dangling.log"},
             {"sub", -10000, " Bytes read does not match file size"}}) {
        SCOPED_TRACE(c.name);
        expectReply(call(get, 1, s.data(), key + c.name), c.result, 0, c.reply);
    }
    ::close(sock);
    // The list leaves out what the log key would refuse.
    std::string list = call(get, 0, s.data(), "/zor/public/system/monitor/monitorLogList/")["reply"];
    for (const char* name : {"real.log", "alias.log", "relative.log"}) {
        EXPECT_NE(std::string::npos, list.find(name)) << list;
    }
    for (const char* name : {"secret.log", "escape.log", "pipe.log", "socket.log", "dangling.log"}) {
        EXPECT_EQ(std::string::npos, list.find(name)) << list;
    }
}

} // namespace
