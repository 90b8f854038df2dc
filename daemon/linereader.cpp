#include "linereader.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {
// How long a reader waits for the budget before its line is refused.
constexpr std::chrono::milliseconds kBudgetPatience{5000};
// Buffers larger than this go back to the system after their request.
constexpr size_t kKeptBuffer = size_t(1) << 20;
} // namespace

LineReader::LineReader(int fd, const std::atomic<bool>& stopping, size_t maxLine, MemoryBudget* budget)
    : _fd(fd), _stopping(stopping), _maxLine(maxLine), _budget(budget)
{
}

LineReader::~LineReader()
{
    if (_budget != nullptr) {
        _budget->give(_held);
    }
}

// While a line is read, the budget holds exactly the buffered bytes; the
// line handed out stays counted until the next line is asked for, that is
// until its request has been answered.
void LineReader::requestDone()
{
    if (_budget != nullptr && _held > _buffer.size()) {
        _budget->give(_held - _buffer.size());
        _held = _buffer.size();
    }
    if (_buffer.capacity() > kKeptBuffer && _buffer.size() <= kKeptBuffer) {
        std::string(_buffer).swap(_buffer);
    }
}

void LineReader::dropBuffer()
{
    _buffer.clear();
    if (_budget != nullptr) {
        _budget->give(_held);
        _held = 0;
    }
}

LineReader::Status LineReader::next(std::string* line)
{
    requestDone();
    for (;;) {
        // Lines that came in with an earlier read are not started once the
        // daemon stops: only the request already under way is finished.
        if (_stopping.load()) {
            return Status::stopped;
        }
        size_t end = _buffer.find('\n', _scanned);
        if (end != std::string::npos) {
            Status dropped = _refused ? Status::noMemory : Status::tooLong;
            if (_dropping) {
                _dropped += end;
                _dropping = false;
                _refused = false;
                _buffer.erase(0, end + 1);
                _scanned = 0;
                return dropped;
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
            dropBuffer();
        } else if (_buffer.size() > _maxLine) {
            _dropping = true;
            _dropped = _buffer.size();
            dropBuffer();
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
        if (_budget != nullptr && !_dropping) {
            if (_budget->take(static_cast<size_t>(n), kBudgetPatience)) {
                _held += static_cast<size_t>(n);
            } else {
                // The line is refused whole, and what it held goes back at
                // once, so readers waiting for each other cannot stall.
                _dropping = true;
                _refused = true;
                _dropped = _buffer.size();
                dropBuffer();
                _scanned = 0;
            }
        }
        // A dropped line's bytes are appended only to find its end, and
        // thrown away by the next turn; they are not counted.
        _buffer.append(chunk, static_cast<size_t>(n));
    }
}
