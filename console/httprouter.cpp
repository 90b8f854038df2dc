#include "httprouter.h"

namespace console {

void HttpRouter::get(const std::string& pattern, HttpHandler handler) { add("GET", pattern, std::move(handler)); }

void HttpRouter::post(const std::string& pattern, HttpHandler handler) { add("POST", pattern, std::move(handler)); }

void HttpRouter::add(const std::string& method, const std::string& pattern, HttpHandler handler)
{
    _routes.push_back({method, std::regex(pattern), std::move(handler)});
}

void HttpRouter::setExceptionHandler(HttpExceptionHandler handler) { _onException = std::move(handler); }

void HttpRouter::setPostRoutingHandler(HttpHandler handler) { _postRouting = std::move(handler); }

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
        response.status = 404;
    }
    finish(request, response);
    return response;
}

} // namespace console
