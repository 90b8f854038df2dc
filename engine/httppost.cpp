#include "httppost.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace zormon {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxReply = 1 << 20;

class Socket {
public:
    explicit Socket(int fd) : _fd(fd) {}
    ~Socket()
    {
        if (_fd >= 0) {
            close(_fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return _fd; }

private:
    int _fd;
};

/// Milliseconds left before deadline, at least 0.
int remaining(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

/// Waits for events on fd; false when the deadline passed first.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, remaining(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

/// A connected non-blocking socket to one of the host's addresses, or why none.
zor::Expected<int> connectTo(const HttpTarget& target, Clock::time_point deadline, int timeoutMs)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(target.port);
    const int rc = getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        return zor::Error{"cannot resolve " + target.host + ": " + gai_strerror(rc)};
    }
    std::string why = "no address for " + target.host;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            why = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        int error = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                if (!waitFor(fd, POLLOUT, deadline)) {
                    close(fd);
                    why = "no connection within " + std::to_string(timeoutMs) + " ms";
                    break; // the deadline is spent for every other address too
                }
                socklen_t length = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                    error = errno;
                }
            }
        }
        if (error == 0) {
            freeaddrinfo(found);
            return fd;
        }
        close(fd);
        why = std::string("connect: ") + std::strerror(error);
    }
    freeaddrinfo(found);
    return zor::Error{why};
}

/// The body of a chunked reply, or the text as it came when it is not well formed.
std::string dechunk(const std::string& text)
{
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t eol = text.find("\r\n", at);
        if (eol == std::string::npos) {
            return text;
        }
        char* end = nullptr;
        const unsigned long size = std::strtoul(text.c_str() + at, &end, 16);
        if (end == text.c_str() + at) {
            return text;
        }
        if (size == 0) {
            return out;
        }
        if (eol + 2 + size > text.size()) {
            return text;
        }
        out.append(text, eol + 2, size);
        at = eol + 2 + size + 2;
    }
}

std::string lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

zor::Expected<HttpTarget> parseHttpUrl(const std::string& url)
{
    const std::string low = lower(url);
    if (low.rfind("https://", 0) == 0) {
        return zor::Error{"https is not supported: " + url};
    }
    if (low.rfind("http://", 0) != 0) {
        return zor::Error{"not an http:// URL: " + url};
    }
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '?' || c == '#' || c == '@' || c == 0x7f) {
            return zor::Error{"the URL may only hold http://HOST:PORT and a path: " + url};
        }
    }
    const std::string rest = url.substr(7);
    const size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    HttpTarget target;
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos || close + 1 >= authority.size() || authority[close + 1] != ':') {
            return zor::Error{"expected [IPV6]:PORT in " + url};
        }
        target.host = authority.substr(1, close - 1);
        portText = authority.substr(close + 2);
    } else {
        const size_t colon = authority.find(':');
        if (colon == std::string::npos) {
            return zor::Error{"no port in " + url};
        }
        target.host = authority.substr(0, colon);
        portText = authority.substr(colon + 1);
    }
    if (target.host.empty()) {
        return zor::Error{"no host in " + url};
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos || std::stoi(portText) < 1 ||
        std::stoi(portText) > 65535) {
        return zor::Error{"bad port in " + url};
    }
    target.port = std::stoi(portText);
    if (slash != std::string::npos) {
        target.prefix = rest.substr(slash);
        while (!target.prefix.empty() && target.prefix.back() == '/') {
            target.prefix.pop_back();
        }
    }
    return target;
}

zor::Expected<HttpReply> httpRequest(const std::string& method, const std::string& url, const std::string& path,
                                     const std::string& body, const std::string& contentType, int timeoutMs)
{
    const zor::Expected<HttpTarget> target = parseHttpUrl(url);
    if (!target) {
        return zor::Error{target.error()};
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const zor::Expected<int> connected = connectTo(*target, deadline, timeoutMs);
    if (!connected) {
        return zor::Error{connected.error()};
    }
    Socket socket(*connected);

    const bool v6 = target->host.find(':') != std::string::npos;
    std::string request = method + " " + target->prefix + path + " HTTP/1.1\r\nHost: " +
                          (v6 ? "[" + target->host + "]" : target->host) + ":" + std::to_string(target->port) +
                          "\r\nConnection: close\r\nAccept: */*\r\n";
    if (method == "POST" || !body.empty()) {
        request += "Content-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    const std::string late = "no reply within " + std::to_string(timeoutMs) + " ms";
    for (size_t sent = 0; sent < request.size();) {
        if (!waitFor(socket.fd(), POLLOUT, deadline)) {
            return zor::Error{late};
        }
        const ssize_t n = send(socket.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return zor::Error{std::string("send: ") + std::strerror(errno)};
        }
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }

    // Connection: close, so the reply ends when the server closes; a reply
    // that says how long it is ends sooner.
    std::string reply;
    size_t headerEnd = std::string::npos;
    size_t length = std::string::npos;
    char buffer[16384];
    for (;;) {
        if (headerEnd != std::string::npos && length != std::string::npos && reply.size() >= headerEnd + length) {
            break;
        }
        if (!waitFor(socket.fd(), POLLIN, deadline)) {
            if (headerEnd == std::string::npos) {
                return zor::Error{late};
            }
            break; // the status is known; the rest of the body is not worth more waiting
        }
        const ssize_t n = recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            if (headerEnd == std::string::npos) {
                return zor::Error{std::string("recv: ") + std::strerror(errno)};
            }
            break;
        }
        if (reply.size() < kMaxReply) {
            reply.append(buffer, static_cast<size_t>(n));
        }
        if (headerEnd == std::string::npos && (headerEnd = reply.find("\r\n\r\n")) != std::string::npos) {
            headerEnd += 4;
            const std::string headers = lower(reply.substr(0, headerEnd));
            const size_t at = headers.find("\r\ncontent-length:");
            if (at != std::string::npos) {
                length = std::strtoul(headers.c_str() + at + 17, nullptr, 10);
            }
        }
    }
    HttpReply result;
    if (reply.rfind("HTTP/1.", 0) != 0 || reply.size() < 12 || !std::isdigit(static_cast<unsigned char>(reply[9]))) {
        return zor::Error{reply.empty() ? "the connection closed without a reply" : "not an HTTP reply"};
    }
    result.status = std::atoi(reply.c_str() + 9);
    if (headerEnd != std::string::npos) {
        result.body = reply.substr(headerEnd);
        if (lower(reply.substr(0, headerEnd)).find("transfer-encoding: chunked") != std::string::npos) {
            result.body = dechunk(result.body);
        }
    }
    return result;
}

zor::Expected<int> httpPost(const std::string& url, const std::string& path, const std::string& body,
                            const std::string& contentType, int timeoutMs)
{
    const zor::Expected<HttpReply> reply = httpRequest("POST", url, path, body, contentType, timeoutMs);
    if (!reply) {
        return zor::Error{reply.error()};
    }
    return reply->status;
}

} // namespace zormon
