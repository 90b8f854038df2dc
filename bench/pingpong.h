// The floor under zorhostd's figures: a UNIX stream socket that carries the
// same request and reply bytes as the daemon's get and does nothing else.
// The echo server serves each connection on a thread of its own, reading
// with recv and answering with a non-blocking send, as zorhostd does; the
// client connects, sends and reads as RemoteSession does. What the daemon
// costs beyond this is the daemon's own.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class EchoServer {
public:
    /// Answers every line received with reply (its line feed included).
    explicit EchoServer(std::string reply) : _reply(std::move(reply)) {}
    ~EchoServer() { stop(); }
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    /// Listens on socketPath and accepts clients on a thread of its own.
    bool start(const std::string& socketPath);
    /// Stops accepting and ends every connection's thread.
    void stop();

private:
    void acceptLoop();
    void serve(int fd);

    std::string _reply;
    std::string _path;
    int _listenFd = -1;
    std::atomic<bool> _stopping{false};
    std::thread _acceptor;
    std::vector<std::thread> _connections; ///< touched by the accepting thread alone until stop
    std::vector<int> _fds;
};

class EchoClient {
public:
    ~EchoClient();
    bool open(const std::string& socketPath);
    /// Sends the request (its line feed included) and reads one line back.
    bool roundTrip(const std::string& request);

private:
    int _fd = -1;
    std::string _pending;
};
