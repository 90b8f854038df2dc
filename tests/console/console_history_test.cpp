// The diff in words and the audit log: its line format, its daily
// rotation and removal, and the commits read back from it, newest first.
#include "audittrail.h"
#include "diffwords.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using console::diffWords;
namespace fs = std::filesystem;

namespace {

std::string entry(const std::string& variable, const std::string& seconds, const std::string& threshold)
{
    return "<monitor-entry variable=\"" + variable + "\" log=\"true\"><frequency><seconds>" + seconds +
           "</seconds></frequency><action-trigger value-type=\"average\" permanent=\"false\"><single-value "
           "comparison=\"greater-than\" value=\"" + threshold + "\"/><action max-frequency=\"0\"><email>ops@x"
           "</email></action></action-trigger></monitor-entry>";
}

std::string read(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(DiffWords, ChangedThresholdAndScheduleAddedAndRemovedEntries)
{
    const std::vector<std::string> before = {entry("cpu", "60", "90"), entry("load-average", "60", "8"),
                                             entry("root-free-space", "60", "500")};
    std::vector<std::string> after = {entry("cpu", "30", "90"), entry("root-free-space", "60", "400"),
                                      entry("uptime", "60", "1")};
    EXPECT_EQ(diffWords(before, after),
              (std::vector<std::string>{
                  "Entry 0 (cpu): schedule every 60 s \u2192 every 30 s",
                  "Entry 1 (root-free-space): trigger 0 threshold 500 \u2192 400",
                  "Removed entry 1 (load-average)",
                  "Added entry 2 (uptime): every 60 s, logged; trigger: average above 1: e-mail ops@x",
              }));
    EXPECT_TRUE(diffWords(before, before).empty());
}

TEST(AuditTrail, OneDayAFileOldDaysRemovedCommitsReadBackNewestFirst)
{
    const fs::path folder = fs::temp_directory_path() / ("audit-test-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::tm day{};
    day.tm_year = 126, day.tm_mon = 11, day.tm_mday = 1, day.tm_hour = 12, day.tm_isdst = -1;
    std::time_t now = std::mktime(&day);
    std::ofstream(folder / "audit-20261101.log") << "old\n";     // older than the days kept
    std::ofstream(folder / "d20261101.log") << "a monitoring log\n"; // not the trail's to remove
    std::vector<std::string> logged;
    AuditOptions o;
    o.folder = folder.string();
    o.keepDays = 7;
    o.now = [&now] { return now; };
    o.daemonLog = [&logged](const std::string& line) { logged.push_back(line); };
    o.describe = diffWords;
    AuditTrail trail(o);
    trail.setCommitted({entry("cpu", "60", "90")});
    trail.record("LOGIN-FAILED", "eve smith\n", "::1", "wrong name or password");
    trail.committed("alice", "127.0.0.1", {entry("cpu", "60", "80")});
    EXPECT_EQ(read(folder / "audit.log"), "2026-12-01 12:00:00 LOGIN-FAILED user=eve%20smith%0A peer=::1 wrong name or "
                                          "password\n2026-12-01 12:00:00 COMMIT user=alice peer=127.0.0.1 1 change\n"
                                          "2026-12-01 12:00:00 CHANGE user=alice peer=127.0.0.1 Entry 0 (cpu): trigger "
                                          "0 threshold 90 \u2192 80\n");
    EXPECT_EQ(logged.size(), 3u);

    now += 86400; // the next day's first line moves the day's lines aside
    AuditTrail restarted(o); // and a restart still knows the file's day
    restarted.setCommitted({entry("cpu", "60", "80")});
    restarted.committed("bob", "socket:42", {});
    EXPECT_TRUE(fs::exists(folder / "audit-20261201.log"));
    EXPECT_FALSE(fs::exists(folder / "audit-20261101.log"));
    EXPECT_TRUE(fs::exists(folder / "d20261101.log"));
    EXPECT_EQ(read(folder / "audit.log").substr(0, 11), "2026-12-02 ");

    size_t total = 0;
    std::vector<AuditCommit> page = readCommits(folder.string(), 0, 1, &total);
    EXPECT_EQ(total, 2u);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].user, "bob");
    EXPECT_EQ(page[0].changes, std::vector<std::string>{"Removed entry 0 (cpu)"});
    page = readCommits(folder.string(), 1, 5, &total);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(std::tie(page[0].user, page[0].peer, page[0].time),
              std::make_tuple("alice", "127.0.0.1", "2026-12-01 12:00:00"));
    fs::remove_all(folder);
}
