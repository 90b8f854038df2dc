// The web console and metrics endpoint of zorhostd: an HTTP(S) server whose
// browser sessions (logins) are module sessions, opened at a login's first
// request and closed at logout or after being idle. Every edit is a request to the module, under
// the daemon's module mutex, with the same keys and XML texts a management
// client sends; the console keeps no configuration of its own.
#pragma once

#include "zorexpected.h"

#include "consoleauth.h"
#include "fairmutex.h"
#include "httpendpoint.h"
#include "modulelibrary.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class AuditTrail;

namespace zormon {
class MonitorThread;
}

namespace console {

struct ConsoleOptions {
    std::string address = "127.0.0.1";
    int port = 8080;
    std::string tlsCert, tlsKey; ///< both set: HTTPS
    std::vector<Cidr> metricsAllow;
    unsigned idleTimeoutSeconds = 1800;
    int msgSize = 1024;
    long interval = 60;
    std::string usersFile;  ///< resolved path of console.users
    std::string logFolder;  ///< resolved path of the monitoring logs
    unsigned loginLimit = 5; ///< failed logins of one user from one address
    unsigned loginWindowSeconds = 300;
    unsigned loginsPerUser = 8; ///< logins open at once for one user name
    unsigned loginsInAll = 32;  ///< logins open at once, all users together
    HttpLimits http;
    AuditTrail* audit = nullptr; ///< where logins, logouts and commits are recorded; none when null
};

class ConsoleServer {
public:
    /// socketSessions: how many sessions the socket serves now.
    ConsoleServer(const ModuleLibrary& module, FairMutex& moduleMutex, zormon::MonitorThread& thread,
                  std::function<unsigned()> socketSessions, ConsoleOptions options);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    /// Binds and starts serving on threads of its own.
    zor::Expected<void> start();
    /// Stops serving and closes every browser session in the module.
    void stop();
    /// Browser sessions (logins) open now, with or without a module session.
    unsigned openLogins() const;

    struct Impl;

private:
    std::unique_ptr<Impl> _impl;
};

} // namespace console
