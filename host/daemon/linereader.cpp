#include "linereader.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

LineReader::LineReader(int fd, int stopFd, const std::atomic<bool>& stopping, size_t maxLine)
    : _fd(fd), _stopFd(stopFd), _stopping(stopping), _maxLine(maxLine)
{
}

LineReader::Status LineReader::next(std::string* line, unsigned idleSeconds)
{
    // Lines that came in with an earlier read are not started once the
    // daemon stops: only the request already under way is finished.
    if (_stopping.load()) {
        return Status::stopped;
    }
    for (;;) {
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

        switch (waitForBytes(idleSeconds)) {
        case Wait::ready:
            break;
        case Wait::idle:
            return Status::idle;
        case Wait::stopped:
            return Status::stopped;
        case Wait::failed:
            return Status::failed;
        }
        char chunk[65536];
        ssize_t n = recv(_fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n < 0) {
            _error = std::strerror(errno);
            return Status::failed;
        }
        if (n == 0) {
            return _buffer.empty() && !_dropping ? Status::closed : Status::closedMidLine;
        }
        _buffer.append(chunk, static_cast<size_t>(n));
    }
}

LineReader::Wait LineReader::waitForBytes(unsigned idleSeconds)
{
    int timeoutMs = idleSeconds == 0 ? -1 : (idleSeconds > INT_MAX / 1000 ? INT_MAX : static_cast<int>(idleSeconds) * 1000);
    pollfd fds[2] = {{_fd, POLLIN, 0}, {_stopFd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            _error = std::strerror(errno);
            return Wait::failed;
        }
        if (n == 0) {
            return Wait::idle;
        }
        if (fds[1].revents != 0) {
            return Wait::stopped;
        }
        // POLLHUP and POLLERR are left to recv, which tells which it was.
        return Wait::ready;
    }
}
