// A mutex that hands itself to its waiters in the order they came. The
// module mutex is taken once per request by every session; a plain mutex
// lets a thread that just arrived take it before one that has waited, so
// with many busy clients some requests wait many turns. Served in order,
// a request waits at most one turn of each other session.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

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
        std::lock_guard<std::mutex> state(_state);
        if (_waiters.empty()) {
            _held = false;
            return;
        }
        Waiter* next = _waiters.front();
        _waiters.pop_front();
        next->granted = true;
        next->turn.notify_one();
    }

private:
    struct Waiter {
        std::condition_variable turn;
        bool granted = false;
    };
    std::mutex _state;
    bool _held = false;
    std::deque<Waiter*> _waiters;
};
