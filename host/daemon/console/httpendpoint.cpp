#include "httpendpoint.h"

#include <httplib.h>

namespace console {

std::unique_ptr<HttpEndpoint> HttpEndpoint::create(const std::string& cert, const std::string& key,
                                                   std::string* error)
{
    std::unique_ptr<httplib::Server> server;
    if (!cert.empty()) {
        server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
        if (!server->is_valid()) {
            *error = "--tls-cert/--tls-key: cannot load the certificate or its key";
            return nullptr;
        }
    } else {
        server = std::make_unique<httplib::Server>();
    }
    return std::unique_ptr<HttpEndpoint>(new HttpEndpoint(std::move(server)));
}

HttpEndpoint::HttpEndpoint(std::unique_ptr<httplib::Server> server) : _server(std::move(server)) {}

HttpEndpoint::~HttpEndpoint() = default;

void HttpEndpoint::get(const std::string& pattern, HttpHandler handler) { _server->Get(pattern, std::move(handler)); }

void HttpEndpoint::post(const std::string& pattern, HttpHandler handler)
{
    _server->Post(pattern, std::move(handler));
}

void HttpEndpoint::setExceptionHandler(HttpExceptionHandler handler)
{
    _server->set_exception_handler(std::move(handler));
}

void HttpEndpoint::setPostRoutingHandler(HttpHandler handler) { _server->set_post_routing_handler(std::move(handler)); }

void HttpEndpoint::setPayloadMaxLength(size_t bytes) { _server->set_payload_max_length(bytes); }

bool HttpEndpoint::bind(const std::string& address, int port) { return _server->bind_to_port(address.c_str(), port); }

void HttpEndpoint::listen() { _server->listen_after_bind(); }

void HttpEndpoint::stop() { _server->stop(); }

} // namespace console
