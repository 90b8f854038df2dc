// The shared store seen from inside the host process: several sessions on
// one loaded module, start-up retries and failed commits.
#include "testHost.h"

#include "zormonitor_host.h"

#include <functional>
#include <regex>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace montest;
namespace fs = std::filesystem;

namespace {

const std::string kConfig = "etc/configs/monitor/Monitor.cfg";
const std::string kEntry = "/zor/public/system/monitor/config/monitor-entry/";

std::string entry(const std::string& variable)
{
    return "<monitor-entry variable=\"" + variable + "\"><frequency><asynchronous/></frequency></monitor-entry>";
}

std::string entries(int n)
{
    std::string text = "<monitor-config>";
    for (int i = 0; i < n; ++i) {
        text += entry("v" + std::to_string(i));
    }
    return text + "</monitor-config>";
}

class MonitorStoreTest : public ModuleTest {
protected:
    nlohmann::json count(Session& s) { return call(get, 6, s.data(), "/zor/public/system/monitor/config/monitor-entry-count/"); }
    nlohmann::json save(Session& s) { return call(commit, 17, s.data(), "/zor/public/system/monitor/commit/"); }
};

TEST_F(MonitorStoreTest, SessionsShareTheTableAndKeepTheirOwnDirtyFlag)
{
    root.write(kConfig, entries(3));
    Session a(*this);
    Session b(*this);
    const std::string saved = " Monitor configuration saved in " + root.at(kConfig);
    unsigned long notices = zormonitor::configurationChangedCount();

    EXPECT_EQ(0, call(set, 7, a.data(), kEntry + "0/", ("0/" + entry("from-a")).c_str())["result"]);
    EXPECT_EQ(0, call(add, 7, b.data(), kEntry, entry("from-b").c_str())["result"]);
    EXPECT_EQ(call(get, 7, a.data(), kEntry + "0/")["reply"], call(get, 7, b.data(), kEntry + "0/")["reply"]);
    expectReply(save(b), 0, 0, saved);
    EXPECT_TRUE(a.data()->sessionDirty);
    EXPECT_FALSE(b.data()->sessionDirty);
    const std::string written = zortest::readFile(root.at(kConfig));
    EXPECT_NE(std::string::npos, written.find("from-a")); // B's commit carries A's edit
    EXPECT_NE(std::string::npos, written.find("from-b"));
    expectReply(save(b), 0, 0, " No session changes\n");
    expectReply(save(a), 0, 0, saved);
    EXPECT_EQ(written, zortest::readFile(root.at(kConfig)));
    EXPECT_EQ(notices + 2, zormonitor::configurationChangedCount());

    // Edits of a session closed without a commit stay in the store; a later
    // session sees them and its own commit persists them.
    {
        Session c(*this);
        EXPECT_EQ(0, call(del, 7, c.data(), kEntry + "0/")["result"]);
    }
    Session d(*this);
    expectReply(count(d), 0, 0, "3");
    EXPECT_EQ(3u, d.data()->configCount);
    expectReply(save(d), 0, 0, " No session changes\n");
    EXPECT_EQ(0, call(add, 7, d.data(), kEntry, entry("from-d").c_str())["result"]);
    expectReply(save(d), 0, 0, saved);
    EXPECT_EQ(std::string::npos, zortest::readFile(root.at(kConfig)).find("from-a"));

    // Index records the request's index before it is checked.
    expectReply(call(get, 7, d.data(), kEntry + "-1/"), -3, -3, " Monitor Entry index -1 does not exist");
    EXPECT_EQ(4294967295u, d.data()->Index);
}

TEST_F(MonitorStoreTest, AFailedLoadIsRetriedAtTheNextSessionOpenAndASuccessfulOneIsKept)
{
    {
        Session first(*this);
        expectReply(count(first), 0, 0, "0");
    }
    EXPECT_TRUE(logged("Monitoring Configuration Exception: file to read not found"));
    root.write(kConfig, entries(3));
    Session second(*this);
    expectReply(count(second), 0, 0, "3");
    // Loaded without a catalogue: the catalogue is not tried again either.
    root.write(kConfig, entries(5));
    root.copyData("monitoring/PresetTriggers.cfg", "etc/configs/monitor/PresetTriggers.cfg");
    Session third(*this);
    expectReply(count(third), 0, 0, "3");
    expectReply(call(get, 13, third.data(), "/zor/public/system/monitor/config/preset-trigger-count/"), 0, 0, "0");
}

TEST_F(MonitorStoreTest, AFailedCommitKeepsTheOldFileAndTheSessionDirty)
{
    root.write(kConfig, entries(2));
    Session s(*this);
    EXPECT_EQ(0, call(add, 7, s.data(), kEntry, entry("new").c_str())["result"]);
    unsigned long notices = zormonitor::configurationChangedCount();

    // A plain file stands in place of the folder, so no temporary file can
    // be created there, whoever runs the test.
    const std::string folder = root.at("etc/configs/monitor");
    fs::rename(folder, folder + ".away");
    root.write("etc/configs/monitor", "not a folder");
    expectReply(save(s), -9999, 0, "cannot open file for writing");
    EXPECT_TRUE(s.data()->sessionDirty);
    EXPECT_EQ(notices, zormonitor::configurationChangedCount());

    fs::remove(folder);
    fs::rename(folder + ".away", folder);
    EXPECT_EQ(entries(2), zortest::readFile(root.at(kConfig)));
    // Still dirty, so committing again saves the edit.
    EXPECT_EQ(0, save(s)["result"]);
    EXPECT_NE(std::string::npos, zortest::readFile(root.at(kConfig)).find("\"new\""));
}

// Each way Monitor.cfg can fail to load is logged with the fixed exception
// line and then a line that names the file and the real reason; the store
// retries at every session open, so one loaded module sees them all in turn.
TEST_F(MonitorStoreTest, AConfigurationThatDoesNotLoadIsLoggedWithItsFileAndReason)
{
    const std::string path = root.at(kConfig);
    const std::string dir = root.at("etc/configs/monitor");
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::string exception;
        std::string reason;
    };
    root.mkdir("etc/configs/monitor");
    const std::vector<Case> cases = {
        {"missing", [] {}, "file to read not found", "No such file or directory"},
        {"a folder", [&] { fs::create_directory(path); }, "file to read not found", "not a regular file"},
        {"a FIFO, which must not hang the session", [&] { fs::remove(path); ASSERT_EQ(0, mkfifo(path.c_str(), 0600)); },
         "file to read not found", "not a regular file"},
        {"a link loop", [&] { fs::remove(path); fs::create_symlink("Monitor.cfg", path); }, "file to read not found",
         "Too many levels of symbolic links"},
        {"a breaking entry", [&] { fs::remove(path); root.write(kConfig, "<monitor-config>" + entry("a") +
             "<monitor-entry variable=\"b\"><frequency><daily><time-of-day hour=\"99\"/></daily></frequency>"
             "</monitor-entry></monitor-config>"); },
         "hour is greater than 23", "monitor-entry 2 (variable \"b\"): hour is greater than 23"},
        {"a parse error", [&] { root.write(kConfig, "<monitor-config>\n<monitor-entry>\n</monitor-config>"); },
         "Parsing errors occurred", "line 3, column 3: "},
        // From here on every parse fails, and the log says why.
        {"after a parse error", [&] { root.write(kConfig, entries(1)); }, "Parsing errors occurred",
         "an earlier document failed to parse (line 3, column 3: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.str("");
        c.prepare();
        Session s(*this);
        EXPECT_NE(std::string::npos, log.str().find("Monitoring Configuration Exception: " + c.exception + "\n"
                                     "monitor::initialize: cannot load " + path + ": " + c.reason))
            << log.str();
        expectReply(count(s), 0, 0, "0");
    }
}

// A commit replaces a Monitor.cfg that did not load (as it must: the store
// was empty), but keeps it first beside it, and only then. When it cannot be
// kept, it is not replaced either.
TEST_F(MonitorStoreTest, ACommitKeepsAConfigurationThatDidNotLoad)
{
    const std::string broken = "<monitor-config>" + entry("kept") + "<monitor-entry><frequency><daily>"
                               "<time-of-day min=\"75\"/></daily></frequency></monitor-entry></monitor-config>";
    root.write(kConfig, broken);
    root.write("etc/configs/monitor/Monitor.cfg.lock", "");
    Session s(*this);
    EXPECT_EQ(0, call(add, 7, s.data(), kEntry, entry("new").c_str())["result"]);
    expectReply(save(s), 0, 0, " Monitor configuration saved in " + root.at(kConfig));
    std::vector<std::string> kept;
    for (const auto& file : fs::directory_iterator(root.at("etc/configs/monitor"))) {
        if (file.path().filename().string().rfind("Monitor.cfg.rejected.", 0) == 0) {
            kept.push_back(file.path().string());
        }
    }
    ASSERT_EQ(1u, kept.size());
    EXPECT_TRUE(std::regex_match(kept[0], std::regex(".*/Monitor\\.cfg\\.rejected\\.[0-9]{8}T[0-9]{6}Z")));
    EXPECT_EQ(broken, zortest::readFile(kept[0]));
    EXPECT_TRUE(logged("monitor::saveMonitorConfig: " + root.at(kConfig) + " did not load; kept as " + kept[0]));
    EXPECT_NE(std::string::npos, zortest::readFile(root.at(kConfig)).find("\"new\""));
    // The file is the module's own now: the next commit keeps nothing.
    EXPECT_EQ(0, call(add, 7, s.data(), kEntry, entry("newer").c_str())["result"]);
    EXPECT_EQ(0, save(s)["result"]);
    EXPECT_EQ(3, std::distance(fs::directory_iterator(root.at("etc/configs/monitor")), fs::directory_iterator()));
}

TEST_F(MonitorStoreTest, AConfigurationThatCannotBeKeptIsNotReplaced)
{
    root.write(kConfig + "/inside", "a folder, which can be neither linked nor copied");
    Session s(*this);
    EXPECT_EQ(0, call(add, 7, s.data(), kEntry, entry("new").c_str())["result"]);
    expectReply(save(s), -9999, 0, "cannot open file for writing");
    EXPECT_TRUE(s.data()->sessionDirty);
    EXPECT_NE(std::string::npos, log.str().find("monitor::saveMonitorConfig: cannot keep " + root.at(kConfig)));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(root.at("etc/configs/monitor")), fs::directory_iterator()));
}

// Monitor.cfg as a chain of symbolic links: the commit replaces the file at
// the end of the chain, in its own folder, with its owner, group and mode,
// and the links stay; start-up clears dead writers' temporaries there (and
// a FIFO as the catalogue does not hang it).
TEST_F(MonitorStoreTest, ACommitThroughSymbolicLinksWritesTheirTarget)
{
    const std::string real = root.at("data/real/Monitor.cfg");
    root.write("data/real/Monitor.cfg", entries(2));
    root.mkdir("etc/configs/monitor");
    root.mkdir("data/links");
    fs::create_symlink("../real/Monitor.cfg", root.at("data/links/middle.cfg"));
    fs::create_symlink(root.at("data/links/middle.cfg"), root.at(kConfig));
    ASSERT_EQ(0, chmod(real.c_str(), 0640));
    const bool asRoot = geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(0, chown(real.c_str(), 4321, 8765));
    }
    pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
    const std::string dead = ".Monitor.cfg.tmp." + std::to_string(gone) + ".1";
    const std::vector<std::string> keep = {"etc/configs/monitor/Monitor.cfg.lock",
                                           "etc/configs/monitor/Monitor.cfg.rejected.20240101T000000Z",
                                           "data/real/" + dead + ".rejected"};
    for (const std::string& file : keep) {
        root.write(file, "x");
    }
    root.write("data/real/" + dead, "<monitor-con");
    const std::string presets = root.at("etc/configs/monitor/PresetTriggers.cfg");
    ASSERT_EQ(0, mkfifo(presets.c_str(), 0600));

    Session s(*this);
    EXPECT_TRUE(logged("Monitoring Configuration Exception: preset file not found\nmonitor::initialize: cannot load " +
                       presets + ": not a regular file"));
    EXPECT_FALSE(zortest::fileExists(root.at("data/real/" + dead)));
    for (const std::string& file : keep) {
        EXPECT_TRUE(zortest::fileExists(root.at(file))) << file;
    }
    expectReply(count(s), 0, 0, "2");
    EXPECT_EQ(0, call(add, 7, s.data(), kEntry, entry("new").c_str())["result"]);
    EXPECT_EQ(0, save(s)["result"]);
    EXPECT_TRUE(fs::is_symlink(root.at(kConfig)));
    EXPECT_TRUE(fs::is_symlink(root.at("data/links/middle.cfg")));
    EXPECT_NE(std::string::npos, zortest::readFile(real).find("\"new\""));
    struct stat status {};
    ASSERT_EQ(0, stat(real.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777);
    if (asRoot) {
        EXPECT_EQ(4321u, status.st_uid);
        EXPECT_EQ(8765u, status.st_gid);
    }
    // A link whose target does not exist yet: the commit creates the target.
    fs::remove(root.at(kConfig));
    fs::create_symlink(root.at("data/real/new.cfg"), root.at(kConfig));
    EXPECT_EQ(0, call(add, 7, s.data(), kEntry, entry("newest").c_str())["result"]);
    EXPECT_EQ(0, save(s)["result"]);
    EXPECT_TRUE(fs::is_symlink(root.at(kConfig)));
    EXPECT_NE(std::string::npos, zortest::readFile(root.at("data/real/new.cfg")).find("\"newest\""));
}

} // namespace
