// Which handler answers a request: routes by method and a pattern over the
// whole path, a handler for what a handler throws, and one that adds the
// headers every answer carries. The server runs a request through these in
// steps (it matches on its event loop, handles on a pool thread and adds
// the headers as it answers); dispatch() runs them in one go for callers
// without a socket.
#pragma once

#include "httpmessage.h"

#include <exception>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace console {

using HttpExceptionHandler = std::function<void(const HttpRequest&, HttpResponse&, std::exception_ptr)>;

struct HttpRoute {
    std::string method;
    std::regex pattern;
    HttpHandler handler;
};

class HttpRouter {
public:
    /// pattern is a regular expression that must match the whole path.
    void get(const std::string& pattern, HttpHandler handler);
    void post(const std::string& pattern, HttpHandler handler);
    /// A route of any method (DELETE, say).
    void add(const std::string& method, const std::string& pattern, HttpHandler handler);
    void setExceptionHandler(HttpExceptionHandler handler);
    /// Runs after every handler, and on the server's own answers (404,
    /// 413, 503), for headers every answer carries.
    void setPostRoutingHandler(HttpHandler handler);

    /// The first route of the request's method whose pattern matches its
    /// whole path, with the pattern's groups put into request.matches;
    /// null when none does.
    const HttpRoute* match(HttpRequest& request) const;
    /// Runs the route's handler; what it throws becomes a 500 answer that
    /// the exception handler may fill in.
    void handle(const HttpRoute& route, const HttpRequest& request, HttpResponse& response) const;
    /// Adds the headers every answer carries.
    void finish(const HttpRequest& request, HttpResponse& response) const;
    /// match, handle (or 404) and finish, as the server does them.
    HttpResponse dispatch(HttpRequest request) const;

private:
    std::vector<HttpRoute> _routes;
    HttpExceptionHandler _onException;
    HttpHandler _postRouting;
};

} // namespace console
