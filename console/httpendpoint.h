// The console's HTTP(S) server, behind plain request and response types.
//
// Connections are served by a few event-loop threads (libmicrohttpd over
// epoll), so a connection that sends nothing, or its head a byte at a time,
// costs a socket and a little memory but no thread. Each request must
// arrive whole within a deadline counted from the connection's start (or
// from the previous answer on it); connections are capped per client
// address and in all. A complete request is handed to a small pool of
// handler threads while its connection waits aside, so a handler that
// waits for the module holds no event loop.
//
// Only httpendpoint.cpp touches the library (httprouter.h decides which
// handler answers, httpmessage.h holds what it reads and writes); nothing that crosses its
// interface holds a time_t, so on the 32-bit target (64-bit time_t, the
// library built with 32 bits) it is compiled like every other file.
#pragma once

#include "httpmessage.h"
#include "httprouter.h"
#include "zorexpected.h"

#include <cstddef>
#include <memory>
#include <string>

namespace console {

/// What one client, or all of them together, may hold of the server.
struct HttpLimits {
    unsigned connections = 512;          ///< open at once, in all
    unsigned connectionsPerAddress = 32; ///< open at once from one client address
    /// A request's head and body must have arrived within this many seconds
    /// of the connection's start or of the previous answer on it; an answer
    /// that moves no byte for this long is given up too.
    unsigned requestSeconds = 10;
    size_t bodyBytes = size_t(4) << 20;        ///< one request's body
    size_t bodyBytesInAll = size_t(32) << 20;  ///< bodies held at once, all requests together
    unsigned eventThreads = 2;                 ///< threads that move bytes
    unsigned handlerThreads = 4;               ///< threads that run handlers
};

class HttpEndpoint {
public:
    /// Plain HTTP when cert is empty, HTTPS otherwise; the reason when the
    /// certificate or its key cannot be read.
    static zor::Expected<std::unique_ptr<HttpEndpoint>> create(const std::string& cert, const std::string& key);
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    /// The routes it serves; set them up before start().
    HttpRouter& router();

    /// Listens on address:port and serves on threads of its own until
    /// stop(); the reason when it cannot.
    zor::Expected<void> start(const std::string& address, int port, const HttpLimits& limits);
    /// Stops listening, lets the handlers under way answer, and closes
    /// every connection.
    void stop();

    struct Impl;

private:
    HttpEndpoint();
    std::unique_ptr<Impl> _impl;
};

} // namespace console
