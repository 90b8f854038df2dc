// The module mutex: work handed to run() by many threads, mixed with plain
// lock() holders, runs one piece at a time, each exactly once, in the order
// each thread gave it, and an exception reaches the thread whose work threw.
#include "fairmutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(FairMutexTest, WorkRunsAloneOnceInOrderAndFailuresReachTheirOwner)
{
    FairMutex mutex;
    std::atomic<int> inside{0};
    bool overlapped = false;        // written only by the holder of the mutex
    std::vector<int> lastSeen(8, -1); // per thread: its last piece of work run
    bool outOfOrder = false;
    long total = 0;
    std::atomic<int> caught{0};
    auto exclusive = [&](int thread, int piece) {
        overlapped = overlapped || inside.fetch_add(1) != 0;
        outOfOrder = outOfOrder || lastSeen[static_cast<size_t>(thread)] != piece - 1;
        lastSeen[static_cast<size_t>(thread)] = piece;
        ++total;
        inside.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t == 0 && i % 10 == 0) {
                    std::lock_guard<FairMutex> lock(mutex);
                    exclusive(t, i);
                    continue;
                }
                try {
                    mutex.run([&] {
                        exclusive(t, i);
                        if (i % 100 == 99) {
                            throw std::runtime_error(std::to_string(t));
                        }
                    });
                } catch (const std::runtime_error& e) {
                    caught += e.what() == std::to_string(t) ? 1 : 1000;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(outOfOrder);
    EXPECT_EQ(total, 8 * 2000);
    EXPECT_EQ(caught.load(), 8 * 20) << "each failure at its own thread, once";
}
