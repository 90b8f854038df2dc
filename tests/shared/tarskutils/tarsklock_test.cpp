#include "tarsklock.h"
#include "zorglobals.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

TEST(BigLock, SerialisesThreadsAndCountsWaiters)
{
    long counter = 0; // deliberately plain: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&counter] {
            for (int i = 0; i < 20000; ++i) {
                tarsk_biglock_lock(nullptr);
                long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                tarsk_biglock_unlock(nullptr);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(8 * 20000, counter);
    EXPECT_EQ(0, tarsk_biglock_sleepers());

    // A second caller counts while it waits for the holder.
    tarsk_biglock_lock(nullptr);
    EXPECT_EQ(1, tarsk_biglock_sleepers());
    bool entered = false;
    std::thread waiter([&entered] {
        tarsk_biglock_lock(nullptr);
        entered = true;
        tarsk_biglock_unlock(nullptr);
    });
    while (tarsk_biglock_sleepers() != 2) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(entered);
    tarsk_biglock_unlock(nullptr);
    waiter.join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(0, tarsk_biglock_sleepers());
}

TEST(BigLock, DiagnosticLinesFollowTheDebugLevel)
{
    char who[] = "tester";
    zorGlobalUseSyslog = 0;
    zorGlobalDebugLevel = 10;
    testing::internal::CaptureStderr();
    tarsk_biglock_lock(who);
    tarsk_biglock_unlock(who);
    tarsk_biglock_lock(nullptr);
    tarsk_biglock_unlock(nullptr);
    EXPECT_EQ("tarsk_bidlock_lock(tester) sleepers = 0\ntarsk_bidlock_lock(tester) sleepers = 0\n",
              testing::internal::GetCapturedStderr());

    zorGlobalDebugLevel = 9;
    testing::internal::CaptureStderr();
    tarsk_biglock_lock(who);
    tarsk_biglock_unlock(who);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    zorGlobalDebugLevel = 0;
}
