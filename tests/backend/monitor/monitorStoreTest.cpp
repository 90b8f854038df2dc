// The shared store seen from inside the host process: several sessions on
// one loaded module, start-up retries and failed commits.
#include "testHost.h"

#include "zormonitor_host.h"

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

} // namespace
