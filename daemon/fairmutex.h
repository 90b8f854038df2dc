// A mutex that hands itself to its waiters in the order they came. The
// module mutex is taken once per request by every session; a plain mutex
// lets a thread that just arrived take it before one that has waited, so
// with many busy clients some requests wait many turns. Served in order,
// a request waits at most one turn of each other session.
//
// Handing the mutex to a sleeping thread leaves it idle until that thread
// is scheduled, and with many sessions on few CPUs that wait is longer than
// a request. So work given to run() is done, in its turn, by the session
// thread that holds the mutex when the turn comes, and its own thread only
// wakes to use the result; lock() waiters are handed the mutex itself.
// Either way one piece of work runs at a time, in arrival order.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <type_traits>
#include <utility>

class FairMutex {
public:
    void lock()
    {
        std::unique_lock<std::mutex> state(_state);
        if (!_held && _waiters.empty()) {
            _held = true;
            return;
        }
        Waiter self;
        _waiters.push_back(&self);
        self.turn.wait(state, [&self] { return self.granted; });
        // unlock() handed the mutex over: _held stayed true.
    }

    void unlock()
    {
        std::unique_lock<std::mutex> state(_state);
        handOver(state);
    }

    /// Runs work() under the mutex in its turn, on this thread or on the
    /// thread of another run() that holds the mutex then; an exception it
    /// throws comes out here. work must not take this mutex.
    template <typename Work>
    void run(Work&& work)
    {
        Waiter self;
        self.context = &work;
        self.call = [](void* context) { (*static_cast<std::remove_reference_t<Work>*>(context))(); };
        std::unique_lock<std::mutex> state(_state);
        if (_held || !_waiters.empty()) {
            _waiters.push_back(&self);
            self.turn.wait(state, [&self] { return self.granted || self.done; });
            if (self.done) {
                state.unlock();
                if (self.failed) {
                    std::rethrow_exception(self.failed);
                }
                return;
            }
        }
        _held = true;
        state.unlock();
        std::exception_ptr failed;
        try {
            work();
        } catch (...) {
            failed = std::current_exception();
        }
        state.lock();
        // The work of the run() callers next in line, a bounded batch so
        // that this thread's own reply is not held up for long.
        for (int served = 0; served < kBatch && !_waiters.empty() && _waiters.front()->call != nullptr; ++served) {
            Waiter* next = _waiters.front();
            _waiters.pop_front();
            state.unlock();
            try {
                next->call(next->context);
            } catch (...) {
                next->failed = std::current_exception();
            }
            state.lock();
            next->done = true;
            next->turn.notify_one();
        }
        handOver(state);
        state.unlock();
        if (failed) {
            std::rethrow_exception(failed);
        }
    }

private:
    static constexpr int kBatch = 16;

    struct Waiter {
        std::condition_variable turn;
        bool granted = false;
        bool done = false;
        void (*call)(void*) = nullptr; ///< run(): the work; lock(): none
        void* context = nullptr;
        std::exception_ptr failed;
    };

    /// The caller holds _state and the mutex; gives the mutex to the next waiter.
    void handOver(std::unique_lock<std::mutex>&)
    {
        if (_waiters.empty()) {
            _held = false;
            return;
        }
        Waiter* next = _waiters.front();
        _waiters.pop_front();
        next->granted = true;
        next->turn.notify_one();
    }

    std::mutex _state;
    bool _held = false;
    std::deque<Waiter*> _waiters;
};
