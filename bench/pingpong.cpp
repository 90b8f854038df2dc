#include "pingpong.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool addressOf(const std::string& path, sockaddr_un* address)
{
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

/// Sends all of bytes the way the daemon writes a reply: without blocking,
/// waiting for room only when the socket has none.
bool sendReply(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room{fd, POLLOUT, 0};
            poll(&room, 1, -1);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool EchoServer::start(const std::string& socketPath)
{
    sockaddr_un address;
    if (!addressOf(socketPath, &address)) {
        return false;
    }
    unlink(socketPath.c_str());
    _listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_listenFd < 0 || bind(_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(_listenFd, 64) != 0) {
        return false;
    }
    _path = socketPath;
    _acceptor = std::thread([this] { acceptLoop(); });
    return true;
}

void EchoServer::acceptLoop()
{
    for (;;) {
        int fd = accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return; // the listening socket was shut at stop
        }
        if (_stopping.load()) {
            close(fd);
            return;
        }
        // The daemon's idle timeout is a receive timeout: the same option here.
        timeval idle{600, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        _fds.push_back(fd);
        _connections.emplace_back([this, fd] { serve(fd); });
    }
}

void EchoServer::serve(int fd)
{
    std::string buffer;
    char chunk[65536];
    for (;;) {
        size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            buffer.erase(0, end + 1);
            if (!sendReply(fd, _reply)) {
                return;
            }
            continue;
        }
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

void EchoServer::stop()
{
    if (_listenFd < 0) {
        return;
    }
    _stopping = true;
    shutdown(_listenFd, SHUT_RDWR);
    _acceptor.join();
    for (int fd : _fds) {
        shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : _connections) {
        t.join();
    }
    for (int fd : _fds) {
        close(fd);
    }
    close(_listenFd);
    _listenFd = -1;
    unlink(_path.c_str());
}

EchoClient::~EchoClient()
{
    if (_fd >= 0) {
        close(_fd);
    }
}

bool EchoClient::open(const std::string& socketPath)
{
    sockaddr_un address;
    if (!addressOf(socketPath, &address)) {
        return false;
    }
    _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return _fd >= 0 && connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool EchoClient::roundTrip(const std::string& request)
{
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(_fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    for (;;) {
        size_t end = _pending.find('\n');
        if (end != std::string::npos) {
            _pending.erase(0, end + 1);
            return true;
        }
        char chunk[65536];
        ssize_t n = recv(_fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        _pending.append(chunk, static_cast<size_t>(n));
    }
}
