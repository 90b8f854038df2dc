#include "remotesession.h"

#include "protocol.h"
#include "replyformat.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using nlohmann::json;

namespace {

/// What the daemon refused or could not do: a failure of the host's side,
/// which the module never saw.
RequestOutcome failedOutcome(const std::string& message)
{
    RequestOutcome outcome;
    outcome.hostError = message;
    return outcome;
}

/// Back from the JSON text to the reply's bytes. The reply line writes each
/// byte that is not valid UTF-8 as the character of the same value, so a
/// reply of raw bytes comes back as characters U+0080..U+00FF. `used`
/// tells which reading is right: when the UTF-8 text has the wrong length
/// and one byte per character has the right one, the reply was raw bytes.
/// A reply that mixes both kinds stays as text; its JSON line is the same.
std::string replyBytes(const std::string& text, int used)
{
    auto fits = [used](size_t size) { return size == static_cast<size_t>(used) || size + 1 == static_cast<size_t>(used); };
    if (used < 0 || fits(text.size())) {
        return text;
    }
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            bytes.push_back(static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F)));
        } else {
            return text; // a character beyond U+00FF: not a raw byte
        }
    }
    return fits(bytes.size()) ? bytes : text;
}

} // namespace

bool requestLine(const HostRequest& request, std::string* line, std::string* error)
{
    const std::string keyStoppers("\0\n ", 3);
    const std::string valueStoppers("\0\n", 2);
    if (request.key.find_first_of(keyStoppers) != std::string::npos) {
        *error = "a key with a blank, a line feed or a NUL byte cannot be sent to zorhostd";
        return false;
    }
    if (request.value && request.value->find_first_of(valueStoppers) != std::string::npos) {
        *error = "a value with a line feed or a NUL byte cannot be sent to zorhostd";
        return false;
    }
    if (request.key.empty() && !request.forcedKeyId) {
        *error = "a request without a key cannot be sent to zorhostd";
        return false;
    }
    std::string text = request.op;
    if (request.forcedKeyId) {
        text += ":" + std::to_string(*request.forcedKeyId);
    }
    if (!request.key.empty() || request.value) {
        text += " " + request.key;
    }
    if (request.value) {
        text += " " + *request.value;
    }
    // The script form takes a final carriage return for the line ending.
    if (text.back() == '\r') {
        *error = "a request that ends in a carriage return cannot be sent to zorhostd";
        return false;
    }
    *line = std::move(text);
    return true;
}

namespace {

/// Fills an outcome straight from the parser's events: a reply line is
/// read once per request, and a document tree of it would cost as much as
/// the request itself.
class ReplyReader : public nlohmann::json_sax<json> {
public:
    explicit ReplyReader(RequestOutcome* outcome) : _o(outcome) {}

    bool null() override { return number(std::nullopt); }
    bool boolean(bool value) override
    {
        if (_depth != 1 || _key != "dirty") {
            return unexpected();
        }
        _o->sessionDirty = value;
        return true;
    }
    bool number_integer(number_integer_t value) override { return number(value); }
    bool number_unsigned(number_unsigned_t value) override { return number(static_cast<long long>(value)); }
    bool number_float(number_float_t, const string_t&) override { return unexpected(); }
    bool binary(binary_t&) override { return unexpected(); }
    bool start_array(std::size_t) override { return unexpected(); }
    bool end_array() override { return unexpected(); }
    bool start_object(std::size_t) override
    {
        ++_depth;
        if (_depth == 2 && _key == "exception") {
            _o->exception = EscapedException{};
            _seen |= kException;
            return true;
        }
        return _depth == 1 || unexpected();
    }
    bool end_object() override
    {
        --_depth;
        return true;
    }
    bool key(string_t& name) override
    {
        _key = name;
        return true;
    }
    bool string(string_t& text) override
    {
        if (_depth == 2) {
            if (_key == "type") {
                _o->exception->type = std::move(text);
                _seen |= kExceptionType;
            } else if (_key == "message") {
                _o->exception->message = std::move(text);
            }
        } else if (_key == "reply") {
            _o->reply = std::move(text);
            _seen |= kReply;
        } else if (_key == "replyBytes") {
            _bad = _bad || !base64Decode(text, &_rawReply);
            _hasRawReply = true;
        } else if (_key == "stdout") {
            _o->moduleStdout = std::move(text);
        } else if (_key == "hostError") {
            _o->hostError = std::move(text);
        } else if (_key == "error") {
            _error = std::move(text);
        }
        // op, key and value repeat the request; other fields are not the outcome's.
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    /// Whether every field of a reply line came, each of its kind.
    bool complete() const
    {
        unsigned required = kKeyId | kResult | kMsgId | kUsed | kReply | kNotices;
        return (_seen & required) == required && !_bad && ((_seen & kException) == 0 || (_seen & kExceptionType) != 0);
    }
    const std::optional<std::string>& error() const { return _error; }
    /// The exact reply bytes, when the line carried them.
    const std::string* rawReply() const { return _hasRawReply ? &_rawReply : nullptr; }

private:
    enum : unsigned {
        kKeyId = 1,
        kResult = 2,
        kMsgId = 4,
        kUsed = 8,
        kReply = 16,
        kNotices = 32,
        kException = 64,
        kExceptionType = 128
    };

    bool number(std::optional<long long> value)
    {
        auto asInt = [&](std::optional<int>* field, unsigned bit) {
            if (value && (*value < INT_MIN || *value > INT_MAX)) {
                _bad = true;
            } else {
                *field = value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
            }
            _seen |= bit;
        };
        if (_depth == 2) {
            if (_key == "message" && !value) {
                _o->exception->message.reset();
            }
        } else if (_key == "keyId") {
            asInt(&_o->keyId, kKeyId);
        } else if (_key == "result") {
            asInt(&_o->result, kResult);
        } else if (_key == "msgID") {
            asInt(&_o->msgID, kMsgId);
        } else if (_key == "used") {
            std::optional<int> used;
            asInt(&used, kUsed);
            _bad = _bad || !used;
            _o->used = used.value_or(0);
        } else if (_key == "notices") {
            _bad = _bad || !value || *value < 0;
            _o->notices = static_cast<unsigned long>(value.value_or(0));
            _seen |= kNotices;
        }
        return true;
    }
    bool unexpected()
    {
        _bad = true;
        return false;
    }

    RequestOutcome* _o;
    int _depth = 0;
    std::string _key;
    unsigned _seen = 0;
    bool _bad = false;
    std::optional<std::string> _error;
    std::string _rawReply;
    bool _hasRawReply = false;
};

} // namespace

bool outcomeFromReplyLine(const std::string& line, RequestOutcome* outcome, std::string* error)
{
    RequestOutcome o;
    ReplyReader reader(&o);
    bool parsed = json::sax_parse(line, &reader);
    if (parsed && reader.error()) {
        *outcome = failedOutcome("zorhostd: " + *reader.error());
        return true;
    }
    if (!parsed || !reader.complete()) {
        *error = "zorhostd answered with a line that is not a reply: " + line.substr(0, 200);
        return false;
    }
    o.reply = reader.rawReply() != nullptr ? *reader.rawReply() : replyBytes(o.reply, o.used);
    *outcome = std::move(o);
    return true;
}

RemoteSession::RemoteSession(std::string socketPath) : _socketPath(std::move(socketPath)) {}

RemoteSession::~RemoteSession() { close(); }

zor::Expected<void> RemoteSession::open()
{
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (_socketPath.size() >= sizeof address.sun_path) {
        return zor::Error{"socket path too long: " + _socketPath};
    }
    std::memcpy(address.sun_path, _socketPath.c_str(), _socketPath.size() + 1);
    _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_fd < 0 || connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        zor::Error unreachable{"cannot reach zorhostd at " + _socketPath + ": " + std::strerror(errno)};
        close();
        return unreachable;
    }
    std::string line;
    std::string error;
    if (!readLine(&line, &error)) {
        close();
        return zor::Error{"zorhostd at " + _socketPath + " closed the connection before the session opened"};
    }
    json greeting = json::parse(line, nullptr, false);
    if (greeting.is_object() && greeting.value("session", "") == "open") {
        _daemonPid = greeting.value("pid", 0L);
        return {};
    }
    close();
    if (greeting.is_object() && greeting.contains("error") && greeting["error"].is_string()) {
        return zor::Error{"zorhostd: " + greeting["error"].get<std::string>()};
    }
    return zor::Error{"the program at " + _socketPath + " does not speak as zorhostd does"};
}

std::optional<RequestOutcome> RemoteSession::unsendable(const HostRequest& request, std::string* line) const
{
    if (_fd < 0) {
        return failedOutcome("no session: the connection to zorhostd is not open");
    }
    std::string error;
    if (!requestLine(request, line, &error)) {
        return failedOutcome(error);
    }
    return std::nullopt;
}

RequestOutcome RemoteSession::run(const HostRequest& request)
{
    std::string line;
    if (std::optional<RequestOutcome> refused = unsendable(request, &line)) {
        return *refused;
    }
    std::string error;
    line += '\n';
    std::string reply;
    RequestOutcome outcome;
    if (!sendAll(line, &error)) {
        // A daemon that ended the session said why in a last line, which
        // may still wait to be read; a closed connection cannot block it.
        std::string ignored;
        if (errno == EPIPE && readLine(&reply, &ignored) && outcomeFromReplyLine(reply, &outcome, &ignored) &&
            outcome.hostError) {
            close();
            return outcome;
        }
        close();
        return failedOutcome(error);
    }
    if (!readLine(&reply, &error) || !outcomeFromReplyLine(reply, &outcome, &error)) {
        // The daemon's side of this session is gone or out of step: a
        // later request could not be matched with its answer.
        close();
        return failedOutcome(error);
    }
    return outcome;
}

zor::Expected<std::string> RemoteSession::command(const std::string& text)
{
    std::string line;
    std::string error;
    if (_fd < 0) {
        return zor::Error{"no session: the connection to zorhostd is not open"};
    }
    if (!sendAll(text + "\n", &error) || !readLine(&line, &error)) {
        close();
        return zor::Error{error};
    }
    return line;
}

zor::Expected<void> RemoteSession::startScript()
{
    zor::Expected<std::string> reply = command(R"({"command":"script"})");
    if (!reply) {
        return zor::Error{reply.error()};
    }
    json answer = json::parse(*reply, nullptr, false);
    if (answer.is_object() && answer.value("script", "") == "started") {
        return {};
    }
    // An older daemon knows no scripts and says so; the session goes on.
    if (answer.is_object() && answer.contains("error") && answer["error"].is_string()) {
        return zor::Error{"zorhostd: " + answer["error"].get<std::string>()};
    }
    close();
    return zor::Error{"zorhostd answered with a line that is not a reply: " + reply->substr(0, 200)};
}

zor::Expected<void> RemoteSession::endScript()
{
    std::string error;
    flush();
    if (_fd < 0 || !sendReading(std::string(R"({"command":"script-end"})") + "\n", &error)) {
        close();
        return zor::Error{error.empty() ? "no session: the connection to zorhostd is not open" : error};
    }
    // Before the daemon's answer come the replies of requests sent after
    // the failed one: the daemon skipped each.
    const std::string ended = R"({"script":"ended",)";
    const std::string skipped = R"({"skipped":)";
    for (std::string line;;) {
        if (!readLine(&line, &error)) {
            close();
            return zor::Error{error};
        }
        if (line.compare(0, ended.size(), ended) == 0) {
            return {};
        }
        if (line.compare(0, skipped.size(), skipped) != 0) {
            close();
            return zor::Error{"zorhostd answered with a line that is not a reply: " + line.substr(0, 200)};
        }
    }
}

std::optional<RequestOutcome> RemoteSession::send(const HostRequest& request)
{
    std::string line;
    if (std::optional<RequestOutcome> refused = unsendable(request, &line)) {
        return refused;
    }
    _outgoing += line;
    _outgoing += '\n';
    return std::nullopt;
}

void RemoteSession::flush()
{
    std::string error;
    if (_fd >= 0 && !_outgoing.empty()) {
        // The daemon's last words, if it ended the session, and the end of
        // the connection come with receive().
        sendReading(_outgoing, &error);
    }
    _outgoing.clear();
}

RequestOutcome RemoteSession::receive()
{
    std::string reply;
    std::string error;
    RequestOutcome outcome;
    flush();
    if (_fd < 0) {
        return failedOutcome("no session: the connection to zorhostd is not open");
    }
    if (!readLine(&reply, &error) || !outcomeFromReplyLine(reply, &outcome, &error)) {
        close();
        return failedOutcome(error);
    }
    return outcome;
}

bool RemoteSession::sendReading(const std::string& bytes, std::string* error)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{_fd, POLLIN | POLLOUT, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
                *error = std::string("lost the connection to zorhostd: ") + std::strerror(errno);
                return false;
            }
            if (ready.revents & POLLIN) {
                char chunk[65536];
                ssize_t got = recv(_fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (got > 0) {
                    _pending.append(chunk, static_cast<size_t>(got));
                } else if (got == 0) {
                    *error = "zorhostd closed the connection";
                    return false;
                }
            }
            continue;
        }
        *error = std::string("lost the connection to zorhostd: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void RemoteSession::close()
{
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    _pending.clear();
    _outgoing.clear();
}

bool RemoteSession::sendAll(const std::string& bytes, std::string* error)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int why = errno;
            *error = std::string("lost the connection to zorhostd: ") + std::strerror(why);
            errno = why; // the caller tells a closed peer (EPIPE) by it
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool RemoteSession::readLine(std::string* line, std::string* error)
{
    size_t searched = 0;
    for (;;) {
        size_t end = _pending.find('\n', searched);
        if (end != std::string::npos) {
            line->assign(_pending, 0, end);
            _pending.erase(0, end + 1);
            return true;
        }
        searched = _pending.size();
        char chunk[65536];
        ssize_t n = recv(_fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = n == 0 ? std::string("zorhostd closed the connection")
                            : std::string("lost the connection to zorhostd: ") + std::strerror(errno);
            return false;
        }
        _pending.append(chunk, static_cast<size_t>(n));
    }
}
