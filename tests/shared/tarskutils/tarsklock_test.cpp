#include "tarsklock.h"
#include "zorglobals.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(BigLock, SerialisesThreadsAndCountsSleepers)
{
    long counter = 0; // deliberately plain: only the lock protects it
    auto work = [&counter] {
        for (int i = 0; i < 20000; ++i) {
            tarsk_biglock_lock(nullptr);
            long seen = counter;
            std::this_thread::yield();
            counter = seen + 1;
            tarsk_biglock_unlock(nullptr);
        }
    };
    tarsk_biglock_lock(nullptr); // while it is held, every worker waits and counts
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back(work);
    }
    while (tarsk_biglock_sleepers() != 9) {
        std::this_thread::yield();
    }
    EXPECT_EQ(0, counter);
    tarsk_biglock_unlock(nullptr);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(8 * 20000, counter);
    EXPECT_EQ(0, tarsk_biglock_sleepers());
}

TEST(BigLock, NamedCallersAreTracedAboveDebugLevel9)
{
    char who[] = "tester";
    zorGlobalUseSyslog = 0;
    testing::internal::CaptureStderr();
    for (int level : {9, 10}) {
        zorGlobalDebugLevel = level;
        tarsk_biglock_lock(who);
        tarsk_biglock_unlock(nullptr); // an unnamed caller is never traced
    }
    zorGlobalDebugLevel = 0;
    EXPECT_EQ("tarsk_bidlock_lock(tester) sleepers = 0\n", testing::internal::GetCapturedStderr());
}
