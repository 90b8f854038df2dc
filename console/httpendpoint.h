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
// Only httpendpoint.cpp touches the library; nothing that crosses its
// interface holds a time_t, so on the 32-bit target (64-bit time_t, the
// library built with 32 bits) it is compiled like every other file.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace console {

using HttpParams = std::multimap<std::string, std::string>;

struct HttpRequest {
    std::string method; ///< GET (also for HEAD) or POST
    std::string path;   ///< percent-decoded, without the query
    std::vector<std::pair<std::string, std::string>> headers;
    HttpParams query; ///< from the URL
    HttpParams form;  ///< from an application/x-www-form-urlencoded body
    std::string body;
    std::vector<std::string> matches; ///< the route's pattern: the whole path, then its groups
    std::string remoteAddr;           ///< numeric, as getnameinfo writes it

    bool hasHeader(const std::string& name) const;
    /// The first header of that name (any case); "" when there is none.
    std::string header(const std::string& name) const;
    /// A query parameter or else a form field of that name; "" when neither.
    std::string param(const std::string& name) const;
    /// A field of the form body only; "" when there is none.
    std::string formField(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body, contentType;

    /// Replaces every header of that name.
    void setHeader(const std::string& name, const std::string& value);
    void setContent(std::string content, const std::string& type);
    void redirect(const std::string& location); ///< 302 Found
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;
using HttpExceptionHandler = std::function<void(const HttpRequest&, HttpResponse&, std::exception_ptr)>;

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

/// Decodes application/x-www-form-urlencoded text ('+' is a space, %XX a
/// byte) into out; a malformed escape is kept as it is.
void parseUrlEncoded(const std::string& text, HttpParams* out);

class HttpEndpoint {
public:
    /// Plain HTTP when cert is empty, HTTPS otherwise; null with the reason
    /// when the certificate or its key cannot be read.
    static std::unique_ptr<HttpEndpoint> create(const std::string& cert, const std::string& key, std::string* error);
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    /// pattern is a regular expression that must match the whole path.
    void get(const std::string& pattern, HttpHandler handler);
    void post(const std::string& pattern, HttpHandler handler);
    void setExceptionHandler(HttpExceptionHandler handler);
    /// Runs after every handler, and on the server's own answers (404,
    /// 413, 503), for headers every answer carries.
    void setPostRoutingHandler(HttpHandler handler);

    /// Listens on address:port and serves on threads of its own until
    /// stop(); false with the reason.
    bool start(const std::string& address, int port, const HttpLimits& limits, std::string* error);
    /// Stops listening, lets the handlers under way answer, and closes
    /// every connection.
    void stop();

    struct Impl;

private:
    HttpEndpoint();
    std::unique_ptr<Impl> _impl;
};

} // namespace console
