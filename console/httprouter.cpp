#include "httprouter.h"

#include <algorithm>

namespace console {

void HttpRouter::get(const std::string& pattern, HttpHandler handler) { add("GET", pattern, std::move(handler)); }

void HttpRouter::post(const std::string& pattern, HttpHandler handler) { add("POST", pattern, std::move(handler)); }

void HttpRouter::add(const std::string& method, const std::string& pattern, HttpHandler handler)
{
    _routes.push_back({method, std::regex(pattern), std::move(handler)});
}

void HttpRouter::setExceptionHandler(HttpExceptionHandler handler) { _onException = std::move(handler); }

void HttpRouter::setPostRoutingHandler(HttpHandler handler) { _postRouting = std::move(handler); }

void HttpRouter::setErrorBody(HttpErrorBody writer) { _errorBody = std::move(writer); }

std::vector<std::string> HttpRouter::methodsFor(const std::string& path) const
{
    std::vector<std::string> methods;
    for (const HttpRoute& route : _routes) {
        if (std::find(methods.begin(), methods.end(), route.method) == methods.end() &&
            std::regex_match(path, route.pattern)) {
            methods.push_back(route.method);
        }
    }
    return methods;
}

void HttpRouter::unrouted(const HttpRequest& request, HttpResponse& response) const
{
    std::vector<std::string> methods = methodsFor(request.path);
    if (methods.empty()) {
        error(request, response, 404, "no such path: " + request.path);
        return;
    }
    std::string allow;
    for (const std::string& m : methods) allow += (allow.empty() ? "" : ", ") + m;
    error(request, response, 405, request.path + " takes " + allow + ", not " + request.method);
    response.setHeader("Allow", allow);
}

void HttpRouter::error(const HttpRequest& request, HttpResponse& response, int status,
                       const std::string& message) const
{
    response = HttpResponse();
    response.status = status;
    if (_errorBody) {
        _errorBody(request, response, message);
    } else {
        response.setContent(message + "\n", "text/plain; charset=utf-8");
    }
}

const HttpRoute* HttpRouter::match(HttpRequest& request) const
{
    for (const HttpRoute& route : _routes) {
        std::smatch m;
        if (route.method == request.method && std::regex_match(request.path, m, route.pattern)) {
            request.matches.assign(m.begin(), m.end());
            return &route;
        }
    }
    return nullptr;
}

void HttpRouter::handle(const HttpRoute& route, const HttpRequest& request, HttpResponse& response) const
{
    try {
        route.handler(request, response);
    } catch (...) {
        response.status = 500;
        if (_onException) {
            try {
                _onException(request, response, std::current_exception());
            } catch (...) {
            }
        }
    }
}

void HttpRouter::finish(const HttpRequest& request, HttpResponse& response) const
{
    if (_postRouting) {
        _postRouting(request, response);
    }
}

HttpResponse HttpRouter::dispatch(HttpRequest request) const
{
    HttpResponse response;
    if (const HttpRoute* route = match(request)) {
        handle(*route, request, response);
    } else {
        unrouted(request, response);
    }
    finish(request, response);
    return response;
}

} // namespace console
