// The console's HTTP(S) server object behind an interface of plain types.
//
// Only httpendpoint.cpp touches cpp-httplib's Server. On the 32-bit target
// the project is built with a 64-bit time_t while Debian 12's i386
// cpp-httplib was built with a 32-bit one, and its Server holds time_t
// members and takes time_t arguments; that file alone is compiled with the
// library's width. Requests and responses hold no time_t and cross freely.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace httplib {
struct Request;
struct Response;
class Server;
} // namespace httplib

namespace console {

using HttpHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
using HttpExceptionHandler = std::function<void(const httplib::Request&, httplib::Response&, std::exception_ptr)>;

class HttpEndpoint {
public:
    /// Plain HTTP when cert is empty, HTTPS otherwise; null with
    /// the reason when the certificate or its key cannot be loaded.
    static std::unique_ptr<HttpEndpoint> create(const std::string& cert, const std::string& key, std::string* error);
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    void get(const std::string& pattern, HttpHandler handler);
    void post(const std::string& pattern, HttpHandler handler);
    void setExceptionHandler(HttpExceptionHandler handler);
    /// Runs after every handler, for headers every answer carries.
    void setPostRoutingHandler(HttpHandler handler);
    void setPayloadMaxLength(size_t bytes);

    bool bind(const std::string& address, int port);
    /// Serves on the calling thread until stop().
    void listen();
    void stop();

private:
    explicit HttpEndpoint(std::unique_ptr<httplib::Server> server);
    std::unique_ptr<httplib::Server> _server;
};

} // namespace console
