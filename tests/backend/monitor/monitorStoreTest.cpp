// The shared store seen from inside the host process: several sessions on
// one loaded module, start-up retries and failed commits. Every test loads
// its own copy of the module, so each starts from fresh static state.
#include "testHost.h"

#include "monitor.h"
#include "zorglobals.h"
#include "zormonitor_host.h"
#include "zortest.h"

#include <filesystem>
#include <sstream>

using namespace montest;
namespace fs = std::filesystem;

namespace {

const char* const kCount = "/zor/public/system/monitor/config/monitor-entry-count/";
const char* const kEntry = "/zor/public/system/monitor/config/monitor-entry/";
const char* const kEntry0 = "/zor/public/system/monitor/config/monitor-entry/0/";
const char* const kPresetCount = "/zor/public/system/monitor/config/preset-trigger-count/";
const std::string kConfig = "etc/configs/monitor/Monitor.cfg";

std::string entries(int n)
{
    std::string text = "<monitor-config>";
    for (int i = 0; i < n; ++i) {
        text += "<monitor-entry variable=\"v" + std::to_string(i) + "\"><frequency><asynchronous/></frequency></monitor-entry>";
    }
    return text + "</monitor-config>";
}

std::string entry(const std::string& variable)
{
    return "<monitor-entry variable=\"" + variable + "\"><frequency><asynchronous/></frequency></monitor-entry>";
}

class MonitorStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZOR_ROOT", root.path().c_str(), 1);
        fs::copy_file(zortest::binPath("libmonitor.so"), copy.at("libmonitor.so"));
        module = std::make_unique<LoadedModule>(copy.at("libmonitor.so"));
        ASSERT_TRUE(module->complete());
        saved = zor_logstream.rdbuf(&log);
    }
    void TearDown() override
    {
        zor_logstream.rdbuf(saved);
        unsetenv("ZOR_ROOT");
    }
    Reply count(Session& s) { return call(module->get, ZOR_MON_COUNT_KEY, s.data(), kCount); }
    Reply get(Session& s, const char* key) { return call(module->get, ZOR_MON_ENTRY_KEY, s.data(), key); }
    Reply commit(Session& s) { return call(module->commit, ZOR_MON_COMMIT_KEY, s.data(), "/zor/public/system/monitor/commit/"); }
    bool dirty(Session& s) { return static_cast<moduleData*>(s.data())->sessionDirty; }

    zortest::TempRoot root;
    zortest::TempRoot copy;
    std::unique_ptr<LoadedModule> module;
    std::stringbuf log;
    std::streambuf* saved = nullptr;
};

TEST_F(MonitorStoreTest, SessionsShareTheTableAndKeepTheirOwnDirtyFlag)
{
    root.write(kConfig, entries(3));
    Session a(*module);
    Session b(*module);
    const std::string savedReply = " Monitor configuration saved in " + root.at(kConfig);
    unsigned long notices = zormonitor::configurationChangedCount();

    EXPECT_EQ(0, call(module->set, 7, a.data(), kEntry0, ("0/" + entry("from-a")).c_str()).result);
    EXPECT_EQ(0, call(module->add, 7, b.data(), kEntry, entry("from-b").c_str()).result);
    EXPECT_EQ(get(a, kEntry0).text, get(b, kEntry0).text); // an edit is visible at once everywhere
    expectReply(commit(b), 0, 0, savedReply);
    EXPECT_TRUE(dirty(a));
    EXPECT_FALSE(dirty(b));
    const std::string written = zortest::readFile(root.at(kConfig));
    EXPECT_NE(std::string::npos, written.find("from-a")); // B's commit carries A's edit
    EXPECT_NE(std::string::npos, written.find("from-b"));
    expectReply(commit(b), 0, 0, " No session changes\n");
    expectReply(commit(a), 0, 0, savedReply);
    EXPECT_EQ(written, zortest::readFile(root.at(kConfig)));
    EXPECT_EQ(notices + 2, zormonitor::configurationChangedCount());

    // Edits of a session closed without a commit stay in the store; a later
    // session sees them and its own commit persists them.
    {
        Session c(*module);
        EXPECT_EQ(0, call(module->del, 7, c.data(), kEntry0).result);
    }
    Session d(*module);
    expectReply(count(d), 0, 0, "3");
    expectReply(commit(d), 0, 0, " No session changes\n");
    EXPECT_EQ(0, call(module->add, 7, d.data(), kEntry, entry("from-d").c_str()).result);
    expectReply(commit(d), 0, 0, savedReply);
    EXPECT_EQ(std::string::npos, zortest::readFile(root.at(kConfig)).find("from-a"));

    // Index records the request's index before it is checked.
    expectReply(get(d, "/zor/public/system/monitor/config/monitor-entry/-1/"), -3, -3,
                " Monitor Entry index -1 does not exist");
    EXPECT_EQ(4294967295u, static_cast<moduleData*>(d.data())->Index);
    count(d);
    EXPECT_EQ(4u, static_cast<moduleData*>(d.data())->configCount);
}

TEST_F(MonitorStoreTest, AFailedLoadIsRetriedAtTheNextSessionOpenAndASuccessfulOneIsKept)
{
    {
        Session first(*module);
        expectReply(count(first), 0, 0, "0");
    }
    EXPECT_NE(std::string::npos, log.str().find("Monitoring Configuration Exception: file to read not found\n"));

    root.write(kConfig, entries(3));
    Session second(*module);
    expectReply(count(second), 0, 0, "3");
    // Loaded without a catalogue: the catalogue is not tried again either.
    root.write(kConfig, entries(5));
    root.copyData("monitoring/PresetTriggers.cfg", "etc/configs/monitor/PresetTriggers.cfg");
    Session third(*module);
    expectReply(count(third), 0, 0, "3");
    expectReply(call(module->get, 13, third.data(), kPresetCount), 0, 0, "0");
}

TEST_F(MonitorStoreTest, AFailedCommitKeepsTheOldFileAndTheSessionDirty)
{
    root.write(kConfig, entries(2));
    Session s(*module);
    EXPECT_EQ(0, call(module->add, 7, s.data(), kEntry, entry("new").c_str()).result);
    unsigned long notices = zormonitor::configurationChangedCount();

    // The folder is moved away and a plain file stands in its place, so no
    // temporary file can be created there, whoever runs the test.
    const std::string folder = root.at("etc/configs/monitor");
    fs::rename(folder, folder + ".away");
    root.write("etc/configs/monitor", "not a folder");
    expectReply(commit(s), -9999, 0, "cannot open file for writing");
    EXPECT_TRUE(dirty(s));
    EXPECT_EQ(notices, zormonitor::configurationChangedCount());

    fs::remove(folder);
    fs::rename(folder + ".away", folder);
    EXPECT_EQ(entries(2), zortest::readFile(root.at(kConfig)));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    // The session is still dirty, so committing again saves the edit.
    EXPECT_EQ(0, commit(s).result);
    EXPECT_NE(std::string::npos, zortest::readFile(root.at(kConfig)).find("\"new\""));
}

} // namespace
