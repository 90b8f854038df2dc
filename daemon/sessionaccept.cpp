// The daemon's door: the socket it listens on (or the one systemd passed),
// and each client at accept time: who it is, whether it may connect, and
// whether a slot is free.
#include "sessiondaemon.h"
#include "sessionconnection.h"

#include "hostsession.h"
#include "linereader.h"
#include "protocol.h"
#include "replyformat.h"
#include "variableprefetch.h"
#include "request.h"

#include "zorglobals.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

zor::Expected<void> SessionDaemon::listen()
{
    const std::string& path = _options.socketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return zor::Error{"socket path must have 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes: " + path};
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // The folder keeps everyone but the owner and the allowed group away
    // from the socket; an existing folder is left as its owner made it.
    fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !fs::exists(folder, ec)) {
        if (!fs::create_directories(folder, ec) || chmod(folder.c_str(), 0750) != 0 ||
            (_options.allowedGroup && chown(folder.c_str(), static_cast<uid_t>(-1), *_options.allowedGroup) != 0)) {
            return zor::Error{"cannot create the socket folder " + folder.string() + ": " +
                     (ec ? ec.message() : std::string(std::strerror(errno)))};
        }
    }

    struct stat existing{};
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            return zor::Error{path + " exists and is not a socket"};
        }
        // A socket nobody answers on is left over from a daemon that died.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool answered = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (answered) {
            return zor::Error{"another zorhostd is already listening on " + path};
        }
        unlink(path.c_str());
    }

    if (pipe2(_stopPipe, O_CLOEXEC) != 0) {
        return zor::Error{std::string("cannot make the stop pipe: ") + std::strerror(errno)};
    }
    _listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_listenFd < 0) {
        return zor::Error{std::string("cannot make a socket: ") + std::strerror(errno)};
    }
    // The socket is born 0660, so there is no moment in which others may connect.
    mode_t previousMask = umask(0117);
    int bound = bind(_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int bindErrno = errno;
    umask(previousMask);
    struct stat made{};
    if (bound != 0 || chmod(path.c_str(), 0660) != 0 ||
        (_options.allowedGroup && chown(path.c_str(), static_cast<uid_t>(-1), *_options.allowedGroup) != 0) ||
        stat(path.c_str(), &made) != 0 || ::listen(_listenFd, 128) != 0) {
        zor::Error failed{"cannot listen on " + path + ": " + std::strerror(bound != 0 ? bindErrno : errno)};
        if (bound == 0) {
            unlink(path.c_str());
        }
        close(_listenFd);
        _listenFd = -1;
        return failed;
    }
    _socketDevice = made.st_dev;
    _socketInode = made.st_ino;
    return {};
}

void SessionDaemon::accept()
{
    reapFinished();
    int fd = accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The waiting client stays in the queue; give the sessions a
            // moment to end instead of spinning on it.
            log(std::string("cannot accept a client: ") + std::strerror(errno));
            poll(nullptr, 0, 100);
        }
        return;
    }
    auto refuse = [&](const std::string& why, const std::string& who) {
        std::string line = errorLine(why) + "\n";
        // The line fits in an empty socket buffer; a client that is gone is no concern.
        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        }
        close(fd);
        logRefusal("refused " + who + ": " + why);
    };
    std::string who;
    std::string refusal;
    uid_t uid = 0;
    if (!peerAllowed(fd, &who, &refusal, &uid)) {
        refuse(refusal, who);
        return;
    }
    // One slot beyond the limit is kept for root, so that an administrator
    // can still get in while other clients hold every slot.
    if (_active.load() >= _options.maxClients + (uid == 0 ? 1u : 0u)) {
        refuse("too many clients: zorhostd serves at most " + std::to_string(_options.maxClients) +
                   " sessions at once; try again later",
               who);
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->id = _nextSessionId++;
    connection->who = who;
    connection->uid = uid;
    ++_active;
    try {
        connection->thread = std::thread(&SessionDaemon::serveConnection, this, connection.get());
    } catch (const std::system_error& e) {
        --_active;
        refuse(std::string("cannot start a session now: ") + e.what(), who);
        return;
    }
    _connections.push_back(std::move(connection));
}

// A flood of refused clients must not flood the log: one line a second at
// most, and the next line says how many were left out.
void SessionDaemon::logRefusal(const std::string& text)
{
    const auto now = std::chrono::steady_clock::now();
    if (_refusalsLogged && now - _lastRefusalLog < std::chrono::seconds(1)) {
        ++_refusalsNotLogged;
        return;
    }
    std::string more;
    if (_refusalsNotLogged > 0) {
        more = " (and " + std::to_string(_refusalsNotLogged) + " more refused since the last such line)";
    }
    _refusalsLogged = true;
    _lastRefusalLog = now;
    _refusalsNotLogged = 0;
    log(text + more);
}

bool SessionDaemon::peerAllowed(int fd, std::string* who, std::string* refusal, uid_t* uid) const
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        *who = "a client";
        *refusal = std::string("cannot tell who the client is: ") + std::strerror(errno);
        return false;
    }
    *who = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
    *uid = peer.uid;
    if (peer.uid == 0 || peer.uid == geteuid()) {
        return true;
    }
    if (_options.allowedGroup) {
        if (peer.gid == *_options.allowedGroup) {
            return true;
        }
        // The supplementary groups the client had when it connected.
        std::vector<gid_t> groups(64);
        for (;;) {
            socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
            if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
                groups.resize(size / sizeof(gid_t));
                break;
            }
            if (errno != ERANGE || size / sizeof(gid_t) <= groups.size()) {
                groups.clear();
                break;
            }
            groups.resize(size / sizeof(gid_t));
        }
        for (gid_t g : groups) {
            if (g == *_options.allowedGroup) {
                return true;
            }
        }
    }
    *refusal = "uid " + std::to_string(peer.uid) + " may not use zorhostd: only root" +
               (_options.allowedGroup ? " and the group " + _options.allowedGroupName : std::string()) + " may";
    return false;
}
