#include "memorybudget.h"

bool MemoryBudget::take(size_t bytes, std::chrono::milliseconds patience)
{
    std::unique_lock<std::mutex> lock(_mutex);
    if (bytes > _total) {
        return false;
    }
    bool fits = _freed.wait_for(lock, patience, [&] { return _interrupted || _total - _used >= bytes; });
    if (!fits || _interrupted) {
        return false;
    }
    _used += bytes;
    return true;
}

void MemoryBudget::give(size_t bytes)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _used -= bytes < _used ? bytes : _used;
    }
    _freed.notify_all();
}

void MemoryBudget::interrupt()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _interrupted = true;
    }
    _freed.notify_all();
}

size_t MemoryBudget::inUse() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _used;
}
