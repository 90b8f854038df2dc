#include "scriptpipe.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <optional>

namespace {

/// Where the next request comes from: the script read before, or the
/// lines of a stream, parsed one by one as parseScript parses a file.
class Requests {
public:
    explicit Requests(ScriptSource source) : _source(std::move(source)) {}

    enum class Next { request, none, waiting, bad };
    /// The next request without blocking; waiting: the stream has no whole
    /// line yet; bad: *error names the line that does not read.
    Next next(HostRequest* request, std::string* error)
    {
        if (_source.fd < 0) {
            if (_index == _source.requests.size()) {
                return Next::none;
            }
            *request = std::move(_source.requests[_index++]);
            return Next::request;
        }
        for (;;) {
            size_t end = _buffer.find('\n', _scanned);
            if (end == std::string::npos && !_ended) {
                _scanned = _buffer.size();
                if (!readSome()) {
                    return Next::waiting;
                }
                continue;
            }
            if (end == std::string::npos && _buffer.empty()) {
                return Next::none;
            }
            std::string line = _buffer.substr(0, end == std::string::npos ? _buffer.size() : end);
            _buffer.erase(0, end == std::string::npos ? _buffer.size() : end + 1);
            _scanned = 0;
            ++_lineNumber;
            zor::Expected<std::vector<HostRequest>> parsed = parseScript(line);
            if (!parsed) {
                const std::string first = "script line 1: ";
                std::string why = parsed.error();
                *error = "script line " + std::to_string(_lineNumber) + ": " +
                         (why.compare(0, first.size(), first) == 0 ? why.substr(first.size()) : why);
                return Next::bad;
            }
            if (parsed->empty()) {
                continue; // blank line or comment
            }
            *request = std::move(parsed->front());
            request->line = _lineNumber;
            return Next::request;
        }
    }

    bool streamed() const { return _source.fd >= 0 && !_ended; }
    int fd() const { return _source.fd; }

private:
    /// Reads what the stream has now; false when it has nothing yet.
    bool readSome()
    {
        pollfd ready{_source.fd, POLLIN, 0};
        if (poll(&ready, 1, 0) == 0) {
            return false;
        }
        char chunk[65536];
        ssize_t n = read(_source.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            return true;
        }
        if (n <= 0) {
            _ended = true; // the end, or a stream that cannot be read further
        } else {
            _buffer.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }

    ScriptSource _source;
    size_t _index = 0;
    std::string _buffer;
    size_t _scanned = 0;
    bool _ended = false;
    int _lineNumber = 0;
};

struct Item {
    HostRequest request;
    bool sent = false;
    std::optional<RequestOutcome> outcome; ///< a failure in place of the reply of a request not sent
    size_t bytes = 0;
};

} // namespace

int runPipelined(RemoteSession& remote, ScriptSource source, const ScriptRunOptions& options, std::ostream& out,
                 std::ostream& err)
{
    // With --keep-going every line runs whatever fails: no script mode needed.
    bool script = false;
    size_t window = kPipelineRequests;
    if (!options.keepGoing) {
        zor::Expected<void> started = remote.startScript();
        if (!started && remote.fd() < 0) {
            err << "zorhost: " << started.error() << '\n';
            return kExitUsage;
        }
        // A daemon without script mode gets one request at a time, which
        // keeps the stop exact all the same.
        script = static_cast<bool>(started);
        window = script ? kPipelineRequests : 1;
    }
    RequestLoop loop(options, out, err);
    Requests requests(std::move(source));
    std::deque<Item> items;
    size_t inFlight = 0;
    size_t inFlightBytes = 0;
    bool filling = true;
    std::optional<std::string> badLine;
    for (;;) {
        // The window is topped up once half of it is answered, so that
        // requests travel in batches and each side wakes once per batch.
        const bool topUp = inFlight <= window / 2;
        while (filling && topUp && inFlight < window && inFlightBytes < kPipelineBytes) {
            Item item;
            std::string error;
            Requests::Next next = requests.next(&item.request, &error);
            if (next == Requests::Next::waiting) {
                break;
            }
            if (next != Requests::Next::request) {
                filling = false;
                if (next == Requests::Next::bad) {
                    badLine = error;
                }
                break;
            }
            // Refused lines and dry-run commits are not sent; the loop says so
            // in their turn. What fails before it reaches the daemon stops
            // the script there, and the daemon never hears of it: nothing
            // after it is sent.
            const bool refused = options.refusal && !options.refusal(item.request).empty();
            const bool held = item.request.type == KEY_TYPE_COMMIT && (options.dryRun || options.beforeCommit);
            if (!refused && !held) {
                item.outcome = remote.send(item.request);
                item.sent = !item.outcome;
                item.bytes = item.request.key.size() + (item.request.value ? item.request.value->size() : 0) + 16;
            }
            if ((refused || item.outcome) && !options.keepGoing) {
                filling = false;
            }
            if (item.sent) {
                ++inFlight;
                inFlightBytes += item.bytes;
            }
            items.push_back(std::move(item));
        }
        remote.flush();
        if (items.empty()) {
            if (!filling) {
                break;
            }
            // Nothing to print until the stream brings a line.
            pollfd ready{requests.fd(), POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        Item& front = items.front();
        if (front.sent && !remote.replyWaiting() && filling && requests.streamed() && inFlight <= window / 2) {
            // A reply or a line, whichever comes first.
            pollfd ready[2] = {{remote.fd(), POLLIN, 0}, {requests.fd(), POLLIN, 0}};
            if (poll(ready, 2, -1) > 0 && !(ready[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
        }
        bool goOn = true;
        RequestLoop::Step step = loop.before(front.request);
        if (front.sent) {
            --inFlight;
            inFlightBytes -= front.bytes;
            goOn = loop.after(front.request, remote.receive());
        } else if (step == RequestLoop::Step::send && front.outcome) {
            goOn = loop.after(front.request, *front.outcome);
        } else {
            goOn = step == RequestLoop::Step::skip;
        }
        items.pop_front();
        if (!goOn) {
            badLine.reset(); // a line after the stop was never to run
            break;
        }
    }
    // Reads the skipped replies of what was sent after a failure. A daemon
    // that is gone by now has answered every line printed above.
    std::optional<std::string> lost;
    if (script && remote.fd() >= 0) {
        if (zor::Expected<void> ended = remote.endScript(); !ended) {
            lost = ended.error();
        }
    }
    int status = loop.finish();
    if (lost) {
        err << "zorhost: " << *lost << '\n';
        status = status == kExitOk ? kExitRequestFailed : status;
    }
    if (badLine) {
        err << "zorhost: " << *badLine << '\n';
        return kExitUsage;
    }
    return status;
}
