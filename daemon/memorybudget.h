// One bound on the memory that all socket sessions together may hold for
// their request lines. Without it, every client may send a line as long as
// --max-line at once, and 64 clients with 60 MiB lines take gigabytes.
//
// A reader takes bytes from the budget as they arrive and gives them back
// once its request is answered. A reader the budget cannot serve waits a
// little for others to finish; if the bytes do not come free by then, its
// line is refused, and what it held is given back, so waiting readers can
// never hold each other up for good.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class MemoryBudget {
public:
    explicit MemoryBudget(size_t bytes) : _total(bytes) {}

    /// Takes bytes, waiting up to `patience` for them; false when they did
    /// not come free (or can never: more than the whole budget).
    bool take(size_t bytes, std::chrono::milliseconds patience);
    void give(size_t bytes);
    /// Ends every wait at once (the daemon stops).
    void interrupt();

    size_t total() const { return _total; }
    size_t inUse() const;

private:
    const size_t _total;
    size_t _used = 0;
    bool _interrupted = false;
    mutable std::mutex _mutex;
    std::condition_variable _freed;
};
