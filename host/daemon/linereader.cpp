#include "linereader.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

LineReader::LineReader(int fd, const std::atomic<bool>& stopping, size_t maxLine)
    : _fd(fd), _stopping(stopping), _maxLine(maxLine)
{
}

LineReader::Status LineReader::next(std::string* line)
{
    for (;;) {
        // Lines that came in with an earlier read are not started once the
        // daemon stops: only the request already under way is finished.
        if (_stopping.load()) {
            return Status::stopped;
        }
        size_t end = _buffer.find('\n', _scanned);
        if (end != std::string::npos) {
            if (_dropping) {
                _dropped += end;
                _dropping = false;
                _buffer.erase(0, end + 1);
                _scanned = 0;
                return Status::tooLong;
            }
            if (end > _maxLine) {
                _dropped = end;
                _buffer.erase(0, end + 1);
                _scanned = 0;
                return Status::tooLong;
            }
            line->assign(_buffer, 0, end);
            _buffer.erase(0, end + 1);
            _scanned = 0;
            return Status::line;
        }
        if (_dropping) {
            _dropped += _buffer.size();
            _buffer.clear();
        } else if (_buffer.size() > _maxLine) {
            _dropping = true;
            _dropped = _buffer.size();
            _buffer.clear();
        }
        _scanned = _buffer.size();

        char chunk[65536];
        ssize_t n = recv(_fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Status::idle; // the receive timeout ran out
        }
        if (n < 0) {
            _error = std::strerror(errno);
            return Status::failed;
        }
        if (n == 0) {
            if (_stopping.load()) {
                return Status::stopped; // the daemon shut the reading side
            }
            return _buffer.empty() && !_dropping ? Status::closed : Status::closedMidLine;
        }
        _buffer.append(chunk, static_cast<size_t>(n));
    }
}
