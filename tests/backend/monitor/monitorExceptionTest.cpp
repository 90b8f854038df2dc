// How the entry points report configuration errors, seen through a copy of
// the module whose store raises MonitoringException on demand.
#include "testHost.h"

#include "monitor.h"
#include "zortest.h"

using namespace montest;

TEST(MonitorExceptionTest, ChangesReportTheMessageAndReadsLetItThrough)
{
    zortest::TempRoot root;
    setenv("ZOR_ROOT", root.path().c_str(), 1);
    LoadedModule module(zortest::binPath("libmonitor_throwing_test.so"));
    ASSERT_TRUE(module.complete());
    Session session(module);
    ASSERT_EQ(0, session.openResult);
    const char* key = "/zor/public/system/monitor/config/action-trigger/0/1/";

    // The reply is the message with code 0; the result says it failed.
    expectReply(call(module.set, ZOR_MON_ENTRY_KEY, session.data(), key, "Unknown variable x"), -6, 0,
                "Unknown variable x");
    expectReply(call(module.del, ZOR_MON_ACTION_TRIGGER_KEY, session.data(), key, "gone"), -6, 0, "gone");
    EXPECT_ANY_THROW(call(module.get, ZOR_MON_ENTRY_KEY, session.data(), key, "read"));

    // A failed save keeps the session dirty, so the next commit tries again.
    auto* data = static_cast<moduleData*>(session.data());
    EXPECT_EQ(0, call(module.add, ZOR_MON_ACTION_TRIGGER_KEY, session.data(), key, "0/<x/>").result);
    for (int attempt = 0; attempt < 2; ++attempt) {
        expectReply(call(module.commit, ZOR_MON_COMMIT_KEY, session.data(), key), -9999, 0,
                    "Monitor.cfg cannot be written");
        EXPECT_TRUE(data->sessionDirty);
    }
    unsetenv("ZOR_ROOT");
}
