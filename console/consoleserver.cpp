#include "consoleserver.h"

#include "consolecore.h"
#include "consoleroutes.h"
#include "httpendpoint.h"

namespace console {

struct ConsoleServer::Impl {
    ConsoleCore core;
    std::unique_ptr<HttpEndpoint> server;

    Impl(const ModuleLibrary& module, FairMutex& moduleMutex, zormon::MonitorThread& thread,
         std::function<unsigned()> socketSessions, ConsoleOptions options)
        : core(module, moduleMutex, thread, std::move(socketSessions), std::move(options))
    {
    }
};

ConsoleServer::ConsoleServer(const ModuleLibrary& module, FairMutex& moduleMutex, zormon::MonitorThread& thread,
                             std::function<unsigned()> socketSessions, ConsoleOptions options)
    : _impl(std::make_unique<Impl>(module, moduleMutex, thread, std::move(socketSessions), std::move(options)))
{
}

ConsoleServer::~ConsoleServer() { stop(); }

unsigned ConsoleServer::openLogins() const { return static_cast<unsigned>(_impl->core.openLogins()); }

zor::Expected<void> ConsoleServer::start()
{
    Impl& d = *_impl;
    const ConsoleOptions& options = d.core.options();
    zor::Expected<std::unique_ptr<HttpEndpoint>> created =
        HttpEndpoint::create(d.core.tls() ? options.tlsCert : "", options.tlsKey);
    if (!created) {
        return zor::Error{created.error()};
    }
    d.server = std::move(*created);
    installRoutes(d.server->router(), d.core);
    zor::Expected<void> started = d.server->start(options.address, options.port, options.http);
    if (!started) {
        d.server.reset();
        return started;
    }
    d.core.startReaper();
    return {};
}

void ConsoleServer::stop()
{
    Impl& d = *_impl;
    if (d.server) {
        d.server->stop();
    }
    d.core.stopReaper();
    d.core.closeAll();
}

} // namespace console
