// Which handler answers a request: routes by method and a pattern over the
// whole path, a handler for what a handler throws, and one that adds the
// headers every answer carries, and the answers to requests that no route
// takes. The server runs a request through these in
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
/// Writes the body of an error answer whose status is already set: what
/// went wrong, in the form the request's client reads.
using HttpErrorBody = std::function<void(const HttpRequest&, HttpResponse&, const std::string& message)>;

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
    /// Writes the bodies of the answers no handler gives (404, 405, the
    /// server's own refusals); without one they are plain text.
    void setErrorBody(HttpErrorBody writer);

    /// The first route of the request's method whose pattern matches its
    /// whole path, with the pattern's groups put into request.matches;
    /// null when none does.
    const HttpRoute* match(HttpRequest& request) const;
    /// The methods of the routes whose pattern matches the whole path, in
    /// table order, each once.
    std::vector<std::string> methodsFor(const std::string& path) const;
    /// The answer to a request that no route takes: 405 with Allow when
    /// the path has routes of other methods, 404 when it has none.
    void unrouted(const HttpRequest& request, HttpResponse& response) const;
    /// Sets status and an error body that says message.
    void error(const HttpRequest& request, HttpResponse& response, int status, const std::string& message) const;
    /// Runs the route's handler; what it throws becomes a 500 answer that
    /// the exception handler may fill in.
    void handle(const HttpRoute& route, const HttpRequest& request, HttpResponse& response) const;
    /// Adds the headers every answer carries.
    void finish(const HttpRequest& request, HttpResponse& response) const;
    /// match, handle (or unrouted) and finish, as the server does them.
    HttpResponse dispatch(HttpRequest request) const;

private:
    std::vector<HttpRoute> _routes;
    HttpExceptionHandler _onException;
    HttpHandler _postRouting;
    HttpErrorBody _errorBody;
};

} // namespace console
