// Reads a client's request lines from its socket with the daemon's bounds:
// a longest line, an idle time (the socket's receive timeout, SO_RCVTIMEO)
// and the daemon's stop. Reads block in recv alone, one system call per
// request when the client waits for each reply; the daemon ends a wait at
// its stop by shutting the socket's reading side (shutdown SHUT_RD).
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

    /// stopping turns true when the daemon stops.
    LineReader(int fd, const std::atomic<bool>& stopping, size_t maxLine);

    /// The next line. An oversize line is dropped as it arrives, so at most
    /// maxLine bytes (plus one read) are held.
    Status next(std::string* line);

    /// Bytes of the last line that came back as tooLong.
    size_t droppedBytes() const { return _dropped; }
    const std::string& error() const { return _error; }

private:
    int _fd;
    const std::atomic<bool>& _stopping;
    size_t _maxLine;
    std::string _buffer;
    size_t _scanned = 0;     ///< bytes of _buffer known to hold no line feed
    bool _dropping = false;  ///< inside an oversize line
    size_t _dropped = 0;
    std::string _error;
};
