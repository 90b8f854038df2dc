// Reads a client's request lines from its socket with the daemon's bounds:
// a longest line, an idle time (the socket's receive timeout, SO_RCVTIMEO)
// and the daemon's stop. Reads block in recv alone, one system call per
// request when the client waits for each reply; the daemon ends a wait at
// its stop by shutting the socket's reading side (shutdown SHUT_RD).
#pragma once

#include "memorybudget.h"

#include <atomic>
#include <cstddef>
#include <string>

class LineReader {
public:
    enum class Status {
        line,          ///< a whole line, without its line feed
        tooLong,       ///< a line longer than the bound was read and thrown away
        closed,        ///< the client ended the connection between lines
        closedMidLine, ///< the client ended the connection in the middle of a line
        noMemory,      ///< the sessions' memory budget could not take the line; it was thrown away
        idle,          ///< no byte came for the idle time
        stopped,       ///< the daemon is stopping
        failed,        ///< the socket failed; see error()
    };

    /// stopping turns true when the daemon stops. The bytes held count
    /// against budget (when given) until the request of a line is done.
    LineReader(int fd, const std::atomic<bool>& stopping, size_t maxLine, MemoryBudget* budget = nullptr);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    /// The request of the last line is answered: its bytes go back to the
    /// budget, and a large buffer back to the system. next() does this
    /// first, so only a reader that waits between requests needs to call it.
    void requestDone();

    /// The next line. An oversize line is dropped as it arrives, so at most
    /// maxLine bytes (plus one read) are held.
    Status next(std::string* line);

    /// Whether a whole line already waits in the buffer: next() returns it
    /// without a read. Replies to such lines may go out in one write.
    bool lineWaiting() const { return !_dropping && _buffer.find('\n') != std::string::npos; }

    /// Bytes of the last line that came back as tooLong or noMemory.
    size_t droppedBytes() const { return _dropped; }
    const std::string& error() const { return _error; }

private:
    int _fd;
    const std::atomic<bool>& _stopping;
    size_t _maxLine;
    std::string _buffer;
    size_t _scanned = 0;     ///< bytes of _buffer known to hold no line feed
    bool _dropping = false;  ///< inside an oversize or refused line
    bool _refused = false;   ///< the line being dropped did not fit in the budget
    size_t _dropped = 0;
    MemoryBudget* _budget;
    size_t _held = 0;        ///< bytes taken from the budget

    void dropBuffer();
    std::string _error;
};
