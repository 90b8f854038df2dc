// Reads a client's request lines from its socket with the daemon's bounds:
// a longest line, an idle time, and a stop signal that ends any wait.
#pragma once

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
        idle,          ///< no byte came for the idle time
        stopped,       ///< the daemon is stopping
        failed,        ///< the socket failed; see error()
    };

    /// stopFd becomes readable, and *stopping true, when the daemon stops.
    LineReader(int fd, int stopFd, const std::atomic<bool>& stopping, size_t maxLine);

    /// The next line. idleSeconds 0 waits without end. An oversize line is
    /// dropped as it arrives, so at most maxLine bytes (plus one read) are held.
    Status next(std::string* line, unsigned idleSeconds);

    /// Bytes of the last line that came back as tooLong.
    size_t droppedBytes() const { return _dropped; }
    const std::string& error() const { return _error; }

private:
    enum class Wait { ready, idle, stopped, failed };
    Wait waitForBytes(unsigned idleSeconds);

    int _fd;
    int _stopFd;
    const std::atomic<bool>& _stopping;
    size_t _maxLine;
    std::string _buffer;
    size_t _scanned = 0;     ///< bytes of _buffer known to hold no line feed
    bool _dropping = false;  ///< inside an oversize line
    size_t _dropped = 0;
    std::string _error;
};
