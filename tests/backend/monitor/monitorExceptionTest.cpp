// How the entry points report configuration errors, seen through a copy of
// the module whose store raises MonitoringException on demand.
#include "testHost.h"

#include "monitor.h"
#include "zortest.h"

#include <cstdlib>

using montest::call;
using montest::LoadedModule;
using montest::Reply;
using montest::Session;

namespace {

TEST(MonitorExceptionTest, ChangesReportTheMessageAndReadsLetItThrough)
{
    zortest::TempRoot root;
    setenv("ZOR_ROOT", root.path().c_str(), 1);
    LoadedModule module(zortest::binPath("libmonitor_throwing_test.so"));
    ASSERT_TRUE(module.complete());
    Session session(module);
    ASSERT_EQ(0, session.openResult);
    const char* entryKey = "/zor/public/system/monitor/config/monitor-entry/0/";
    const char* triggerKey = "/zor/public/system/monitor/config/action-trigger/0/1/";

    // The reply is the message with code 0; the result says it failed.
    Reply set = call(module.set, ZOR_MON_ENTRY_KEY, session.data(), entryKey, "Unknown variable cpu_load");
    EXPECT_EQ(-6, set.result);
    EXPECT_EQ(0, set.msgId);
    EXPECT_EQ("Unknown variable cpu_load", set.text);
    Reply del = call(module.del, ZOR_MON_ACTION_TRIGGER_KEY, session.data(), triggerKey, "gone");
    EXPECT_EQ(-6, del.result);
    EXPECT_EQ("gone", del.text);

    EXPECT_ANY_THROW(call(module.get, ZOR_MON_ENTRY_KEY, session.data(), entryKey, "read"));

    // A failed save keeps the session dirty, so the next commit tries again.
    auto* data = static_cast<moduleData*>(session.data());
    EXPECT_EQ(0, call(module.add, ZOR_MON_ACTION_TRIGGER_KEY, session.data(), triggerKey, "0/<x/>").result);
    ASSERT_TRUE(data->sessionDirty);
    for (int attempt = 0; attempt < 2; ++attempt) {
        Reply commit = call(module.commit, ZOR_MON_COMMIT_KEY, session.data(), "/zor/public/system/monitor/commit/");
        EXPECT_EQ(-9999, commit.result);
        EXPECT_EQ(0, commit.msgId);
        EXPECT_EQ("Monitor.cfg cannot be written", commit.text);
        EXPECT_TRUE(data->sessionDirty);
    }
    unsetenv("ZOR_ROOT");
}

} // namespace
