#include "httpendpoint.h"

#include <microhttpd.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace console {

namespace {

using Clock = std::chrono::steady_clock;

bool startsWithNoCase(const std::string& text, const char* prefix)
{
    return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

bool readFile(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return in.good() || in.eof();
}

std::string numericAddress(const sockaddr* address)
{
    if (address == nullptr) {
        return "";
    }
    socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    char host[NI_MAXHOST] = "";
    if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "";
    }
    return host;
}

/// A listening socket on address:port (a name, an IPv4 or an IPv6
/// address); -1 when none can be had.
int listenOn(const std::string& address, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.empty() ? nullptr : address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        int yes = 1, no = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (a->ai_family == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        }
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

/// One client connection, and when the request it is sending must have
/// arrived (no deadline runs while a request is handled or answered).
struct Connection {
    int fd = -1;
    std::string address;
    bool deadlineRuns = false;
    Clock::time_point deadline;
};

/// One request on its way through the server, from its request line to
/// the end of its answer.
struct Exchange {
    enum class Step { head, body, handled, answered };
    Step step = Step::head;
    std::string uri; ///< as the request line has it
    HttpRequest request;
    HttpResponse response;
    const HttpRoute* route = nullptr;
    size_t reserved = 0; ///< body bytes counted against the server's budget
    int refusal = 0;     ///< the status to answer with instead of a handler
};

} // namespace

struct HttpEndpoint::Impl {
    std::string cert, key;
    HttpRouter router;
    HttpLimits limits;
    MHD_Daemon* daemon = nullptr;
    int listenFd = -1; ///< ours until the library has it

    std::mutex connectionsMutex;
    std::set<Connection*> connections;
    std::condition_variable sweeperWake;
    bool sweeperStopping = false;
    std::thread sweeper;

    std::mutex jobsMutex;
    std::condition_variable jobsWake;
    std::deque<std::pair<MHD_Connection*, Exchange*>> jobs;
    bool jobsStopping = false;
    std::vector<std::thread> handlers;

    std::mutex bodyMutex;
    size_t bodyBytesHeld = 0;

    // --- deadlines ----------------------------------------------------------

    static Connection* connectionOf(MHD_Connection* c)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<Connection*>(info->socket_context) : nullptr;
    }

    void startDeadline(Connection* conn)
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        conn->deadlineRuns = true;
        conn->deadline = Clock::now() + std::chrono::seconds(limits.requestSeconds);
    }

    void stopDeadline(Connection* conn)
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        conn->deadlineRuns = false;
    }

    // A connection past its deadline is shut down under the mutex that its
    // close notice takes too: the library closes the descriptor only after
    // that notice, so the number cannot have passed to another socket yet.
    void sweep()
    {
        std::unique_lock<std::mutex> lock(connectionsMutex);
        while (!sweeperStopping) {
            sweeperWake.wait_for(lock, std::chrono::milliseconds(250));
            Clock::time_point now = Clock::now();
            for (Connection* conn : connections) {
                if (conn->deadlineRuns && now >= conn->deadline) {
                    conn->deadlineRuns = false;
                    shutdown(conn->fd, SHUT_RDWR);
                }
            }
        }
    }

    static void onConnection(void* cls, MHD_Connection* c, void** socketContext, MHD_ConnectionNotificationCode code)
    {
        Impl& d = *static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* conn = new Connection;
            const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            const MHD_ConnectionInfo* peer = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            conn->fd = fd ? fd->connect_fd : -1;
            conn->address = numericAddress(peer ? peer->client_addr : nullptr);
            conn->deadlineRuns = true;
            conn->deadline = Clock::now() + std::chrono::seconds(d.limits.requestSeconds);
            std::lock_guard<std::mutex> lock(d.connectionsMutex);
            d.connections.insert(conn);
            *socketContext = conn;
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            auto* conn = static_cast<Connection*>(*socketContext);
            {
                std::lock_guard<std::mutex> lock(d.connectionsMutex);
                d.connections.erase(conn);
            }
            delete conn;
            *socketContext = nullptr;
        }
    }

    // --- requests -----------------------------------------------------------

    static void* onRequestLine(void*, const char* uri, MHD_Connection*)
    {
        auto* ex = new Exchange;
        ex->uri = uri ? uri : "";
        return ex;
    }

    static void onCompleted(void* cls, MHD_Connection* c, void** requestContext, MHD_RequestTerminationCode)
    {
        Impl& d = *static_cast<Impl*>(cls);
        auto* ex = static_cast<Exchange*>(*requestContext);
        if (ex) {
            d.release(*ex);
            delete ex;
            *requestContext = nullptr;
        }
        // The next request on a kept connection has the same time to arrive.
        if (Connection* conn = connectionOf(c)) {
            d.startDeadline(conn);
        }
    }

    /// Counts n more body bytes against the server's budget.
    bool reserve(Exchange& ex, size_t n)
    {
        std::lock_guard<std::mutex> lock(bodyMutex);
        if (bodyBytesHeld + n > limits.bodyBytesInAll) {
            return false;
        }
        bodyBytesHeld += n;
        ex.reserved += n;
        return true;
    }

    void release(Exchange& ex)
    {
        std::lock_guard<std::mutex> lock(bodyMutex);
        bodyBytesHeld -= ex.reserved;
        ex.reserved = 0;
        std::string().swap(ex.request.body);
    }

    static MHD_Result collectHeader(void* cls, MHD_ValueKind, const char* key, const char* value)
    {
        static_cast<HttpRequest*>(cls)->headers.emplace_back(key ? key : "", value ? value : "");
        return MHD_YES;
    }

    void readHead(MHD_Connection* c, Exchange& ex, const char* method)
    {
        HttpRequest& r = ex.request;
        r.method = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0 ? "GET" : method;
        size_t question = ex.uri.find('?');
        r.path = percentDecode(ex.uri.substr(0, question), false);
        if (question != std::string::npos) {
            parseUrlEncoded(ex.uri.substr(question + 1), &r.query);
        }
        MHD_get_connection_values(c, MHD_HEADER_KIND, &collectHeader, &r);
        if (Connection* conn = connectionOf(c)) {
            r.remoteAddr = conn->address;
        }
        // A body announced too large is refused before it is sent.
        std::string length = r.header(MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (!length.empty()) {
            unsigned long long announced = std::strtoull(length.c_str(), nullptr, 10);
            if (announced > limits.bodyBytes) {
                ex.refusal = MHD_HTTP_CONTENT_TOO_LARGE;
            } else if (!reserve(ex, static_cast<size_t>(announced))) {
                ex.refusal = MHD_HTTP_SERVICE_UNAVAILABLE;
            }
        }
    }

    void readBody(Exchange& ex, const char* data, size_t size)
    {
        if (ex.refusal != 0) {
            return; // the rest of a refused body is read and dropped
        }
        std::string& body = ex.request.body;
        if (body.size() + size > limits.bodyBytes) {
            ex.refusal = MHD_HTTP_CONTENT_TOO_LARGE;
        } else if (body.size() + size > ex.reserved && !reserve(ex, body.size() + size - ex.reserved)) {
            ex.refusal = MHD_HTTP_SERVICE_UNAVAILABLE;
        }
        if (ex.refusal != 0) {
            std::string().swap(body);
            return;
        }
        body.append(data, size);
    }

    MHD_Result answer(MHD_Connection* c, Exchange& ex)
    {
        ex.step = Exchange::Step::answered;
        HttpResponse& res = ex.response;
        router.finish(ex.request, res);
        MHD_Response* response =
            MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return MHD_NO;
        }
        for (const auto& [name, value] : res.headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
        if (!res.contentType.empty()) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, res.contentType.c_str());
        }
        MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(res.status), response);
        MHD_destroy_response(response);
        return queued;
    }

    MHD_Result refuse(MHD_Connection* c, Exchange& ex, int status, const char* text)
    {
        router.error(ex.request, ex.response, status, text);
        return answer(c, ex);
    }

    MHD_Result refusal(MHD_Connection* c, Exchange& ex)
    {
        if (ex.refusal == MHD_HTTP_CONTENT_TOO_LARGE) {
            return refuse(c, ex, ex.refusal, "the request body is too large");
        }
        return refuse(c, ex, ex.refusal, "the server is busy; try again");
    }

    static MHD_Result onRequest(void* cls, MHD_Connection* c, const char*, const char* method, const char*,
                                const char* data, size_t* size, void** requestContext)
    {
        Impl& d = *static_cast<Impl*>(cls);
        auto* ex = static_cast<Exchange*>(*requestContext);
        if (ex == nullptr) {
            return MHD_NO; // every request line makes one
        }
        switch (ex->step) {
        case Exchange::Step::head:
            d.readHead(c, *ex, method);
            ex->step = Exchange::Step::body;
            return ex->refusal != 0 ? d.refusal(c, *ex) : MHD_YES;
        case Exchange::Step::body:
            break;
        case Exchange::Step::handled:
            return d.answer(c, *ex);
        case Exchange::Step::answered:
            return MHD_YES;
        }
        if (*size > 0) {
            d.readBody(*ex, data, *size);
            *size = 0;
            return MHD_YES;
        }
        // The whole request is here: from now on it is the server's time.
        if (Connection* conn = connectionOf(c)) {
            d.stopDeadline(conn);
        }
        if (ex->refusal != 0) {
            return d.refusal(c, *ex);
        }
        HttpRequest& r = ex->request;
        if (startsWithNoCase(r.header(MHD_HTTP_HEADER_CONTENT_TYPE), "application/x-www-form-urlencoded")) {
            parseUrlEncoded(r.body, &r.form);
        }
        ex->route = d.router.match(r);
        if (ex->route == nullptr) {
            d.router.unrouted(r, ex->response);
            return d.answer(c, *ex);
        }
        std::lock_guard<std::mutex> lock(d.jobsMutex);
        if (d.jobsStopping) {
            return d.refuse(c, *ex, MHD_HTTP_SERVICE_UNAVAILABLE, "the server is stopping");
        }
        // The connection waits aside until a handler thread has the answer.
        MHD_suspend_connection(c);
        ex->step = Exchange::Step::handled;
        d.jobs.emplace_back(c, ex);
        d.jobsWake.notify_one();
        return MHD_YES;
    }

    void handle()
    {
        std::unique_lock<std::mutex> lock(jobsMutex);
        while (true) {
            jobsWake.wait(lock, [this] { return jobsStopping || !jobs.empty(); });
            if (jobs.empty()) {
                return; // stopping, and every waiting connection has its answer
            }
            auto [c, ex] = jobs.front();
            jobs.pop_front();
            lock.unlock();
            router.handle(*ex->route, ex->request, ex->response);
            // The last touch: once resumed, the exchange is the event loop's.
            MHD_resume_connection(c);
            lock.lock();
        }
    }
};

HttpEndpoint::HttpEndpoint() : _impl(std::make_unique<Impl>()) {}

HttpEndpoint::~HttpEndpoint() { stop(); }

zor::Expected<std::unique_ptr<HttpEndpoint>> HttpEndpoint::create(const std::string& cert, const std::string& key)
{
    std::unique_ptr<HttpEndpoint> endpoint(new HttpEndpoint());
    if (!cert.empty()) {
        Impl& d = *endpoint->_impl;
        if (!readFile(cert, &d.cert) || !readFile(key, &d.key) || d.cert.empty() || d.key.empty()) {
            return zor::Error{"--tls-cert/--tls-key: cannot load the certificate or its key"};
        }
    }
    return endpoint;
}

HttpRouter& HttpEndpoint::router() { return _impl->router; }

zor::Expected<void> HttpEndpoint::start(const std::string& address, int port, const HttpLimits& limits)
{
    Impl& d = *_impl;
    d.limits = limits;
    d.listenFd = listenOn(address, port);
    if (d.listenFd < 0) {
        return zor::Error{"--http: cannot listen on " + address + ":" + std::to_string(port)};
    }
    bool tls = !d.cert.empty();
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | (tls ? MHD_USE_TLS : 0);
    MHD_OptionItem options[] = {
        {MHD_OPTION_LISTEN_SOCKET, d.listenFd, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(std::max(1u, limits.eventThreads)), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(limits.connections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(limits.connectionsPerAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits.requestSeconds), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::onConnection), &d},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::onRequestLine), &d},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::onCompleted), &d},
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, const_cast<char*>(d.cert.c_str())},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(d.key.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    d.sweeper = std::thread([&d] { d.sweep(); });
    for (unsigned i = 0; i < std::max(1u, limits.handlerThreads); ++i) {
        d.handlers.emplace_back([&d] { d.handle(); });
    }
    d.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Impl::onRequest, &d, MHD_OPTION_ARRAY, options,
                                MHD_OPTION_END);
    // From here the socket is the library's, which closes it at its stop
    // (and may have closed it on a failed start: closing it here as well
    // could close a descriptor opened since).
    d.listenFd = -1;
    if (d.daemon == nullptr) {
        stop();
        return zor::Error{tls ? "--tls-cert/--tls-key: cannot load the certificate or its key"
                              : "--http: cannot start the HTTP server"};
    }
    return {};
}

void HttpEndpoint::stop()
{
    Impl& d = *_impl;
    if (d.daemon) {
        // No new connections; the socket comes back to be closed here.
        d.listenFd = MHD_quiesce_daemon(d.daemon);
    }
    // Handlers under way answer; requests that arrive meanwhile get 503.
    {
        std::lock_guard<std::mutex> lock(d.jobsMutex);
        d.jobsStopping = true;
    }
    d.jobsWake.notify_all();
    for (std::thread& t : d.handlers) {
        t.join();
    }
    d.handlers.clear();
    if (d.daemon) {
        MHD_stop_daemon(d.daemon);
        d.daemon = nullptr;
    }
    if (d.listenFd >= 0) {
        close(d.listenFd);
        d.listenFd = -1;
    }
    {
        std::lock_guard<std::mutex> lock(d.connectionsMutex);
        d.sweeperStopping = true;
    }
    d.sweeperWake.notify_all();
    if (d.sweeper.joinable()) {
        d.sweeper.join();
    }
}

} // namespace console
