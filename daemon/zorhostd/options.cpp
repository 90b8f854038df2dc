#include "options.h"

#include "hostversion.h"
#include "modulelibrary.h"
#include "protocol.h"

#include "zormonitor_host.h"

#include <CLI/CLI.hpp>

#include <grp.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace zorhostd {

namespace {

std::string absolute(const std::string& path)
{
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

/// --http: ADDR:PORT, [IPV6]:PORT, or PORT alone on loopback.
zor::Expected<void> readHttpAddress(const std::string& text, console::ConsoleOptions* console)
{
    size_t colon = text.rfind(':');
    std::string address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    char* end = nullptr;
    long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 0 || number > 65535 || address.empty()) {
        return zor::Error{"--http: expected ADDR:PORT, e.g. 127.0.0.1:8080"};
    }
    console->address = address;
    console->port = static_cast<int>(number);
    return {};
}

} // namespace

zor::Expected<CommandLine> parseCommandLine(int argc, char** argv)
{
    CommandLine line;
    Config& c = line.config;
    c.interval = zormonitor::kDefaultIntervalSeconds;
    c.udp = zormonitor::kDefaultUdpTarget;
    std::string root, socket, group, tlsCert, tlsKey, module, log;
    std::string metricsAllow = "127.0.0.0/8,::1";
    unsigned maxClients = 64;
    size_t maxLine = size_t(64) << 20;
    size_t memoryBudget = size_t(256) << 20;
    // Ten minutes: long enough for a person at a prompt, short enough that
    // clients left open cannot hold every slot for long.
    unsigned idleTimeout = 600;
    unsigned consoleIdle = 1800;
    unsigned consoleLogins = 32;
    unsigned consoleLoginsPerUser = 8;
    unsigned consoleConnections = 512;
    unsigned consoleConnectionsPerAddress = 32;
    unsigned consoleRequestTimeout = 10;

    CLI::App app{"zorhostd: the monitor module's host as a service. Loads the module once and serves\n"
                 "management clients over a UNIX socket, each in a module session of its own; all\n"
                 "sessions share the module's configuration store. Clients: zorhost --connect.",
                 "zorhostd"};
    app.set_version_flag("--version", std::string("zorhostd ") + ZORHOST_VERSION);
    app.footer("Signals: SIGTERM or SIGINT stops (the requests under way finish, every session is closed,\n"
               "the socket removed; exit 0); SIGHUP reopens the --log file.\n"
               "Exit status: 0 stopped by a signal; 1 failed while serving; 2 usage error, module not\n"
               "loadable, first session not opened, or socket not usable.");
    app.add_option("--socket", socket,
                   std::string("The socket to listen on, used as given. Default: ") + kDefaultSocketPath +
                       " under the root")
        ->type_name("PATH");
    app.add_option("--group", group,
                   "Members of this group may connect, besides root. Default: root only")
        ->type_name("NAME");
    app.add_flag("--foreground", c.foreground, "Stay in the foreground (for systemd and tests)");
    app.add_option("--log", log, "Append the log (the daemon's and the module's) to FILE; SIGHUP reopens it. "
                                   "Default: standard error; needed without --foreground")
        ->type_name("FILE");
    app.add_option("--max-clients", maxClients, "Sessions served at once; the next client is refused")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--max-line", maxLine, "Longest request line in bytes; a longer one is refused")
        ->type_name("BYTES")
        // 1 TiB, or 1 GiB where a line must fit in a 32-bit address space.
        ->check(CLI::Range(size_t(16), size_t(1) << (sizeof(size_t) > 4 ? 40 : 30)))
        ->capture_default_str();
    app.add_option("--memory-budget", memoryBudget,
                   "Request-line bytes all socket sessions together may hold; a line that does not fit within 5 s "
                   "is refused. At least --max-line")
        ->type_name("BYTES")
        ->check(CLI::Range(size_t(16), size_t(1) << (sizeof(size_t) > 4 ? 40 : 30)))
        ->capture_default_str();
    app.add_option("--idle-timeout", idleTimeout, "Close a session that sends no request for this long; 0: never")
        ->type_name("SECONDS")
        ->check(CLI::Range(0u, 100000000u))
        ->capture_default_str();
    app.add_option("--root", root, "Resolve the module's fixed absolute paths and the default socket under DIR "
                                     "(sets ZOR_ROOT). Default: / (no prefix), or ZOR_ROOT when set")
        ->type_name("DIR");
    app.add_option("--module", module, "The module library to load. Default: libmonitor.so beside zorhostd")
        ->type_name("PATH");
    app.add_option("--interval", c.interval, "Monitoring interval in seconds that the monitor thread reports")
        ->type_name("N")
        ->check(CLI::Range(1L, LONG_MAX))
        ->capture_default_str();
    app.add_option("--msg-size", c.msgSize, "Starting reply size in bytes of each parameter block")
        ->type_name("N")
        ->check(CLI::Range(1, INT_MAX))
        ->capture_default_str();
    app.add_option("--udp", c.udp, "Where posted messages go, one UDP datagram each")
        ->type_name("HOST:PORT")
        ->capture_default_str();
    app.add_option("--keep-logs", c.keepLogs, "Days of monitoring logs the monitor thread keeps")
        ->type_name("DAYS")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    app.add_option("--lock-wait", c.lockWait,
                   "Seconds to wait at start for an editor's lock on the configuration (Monitor.cfg.lock)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    app.add_option("--http", c.http,
                   "Serve the web console, its JSON API and /metrics on ADDR:PORT (or PORT alone: loopback). "
                   "Default: off")
        ->type_name("ADDR:PORT");
    app.add_option("--tls-cert", tlsCert, "Serve --http over TLS with this certificate (PEM); needs --tls-key")
        ->type_name("FILE");
    app.add_option("--tls-key", tlsKey, "The private key (PEM) of --tls-cert")->type_name("FILE");
    app.add_option("--metrics-allow", metricsAllow,
                   "Addresses that may read /metrics without a login, CIDR[,CIDR...]")
        ->type_name("CIDRS")
        ->capture_default_str();
    app.add_option("--console-idle", consoleIdle, "Close a console login that makes no request for this long")
        ->type_name("SECONDS")
        ->check(CLI::Range(1u, 100000000u))
        ->capture_default_str();
    app.add_option("--console-logins", consoleLogins, "Console logins open at once, all users together")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-logins-per-user", consoleLoginsPerUser, "Console logins open at once for one user")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-connections", consoleConnections, "HTTP connections open at once, in all")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-connections-per-address", consoleConnectionsPerAddress,
                   "HTTP connections open at once from one client address")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-request-timeout", consoleRequestTimeout,
                   "Close an HTTP connection whose request has not arrived whole this long after the connection "
                   "opened or its previous answer")
        ->type_name("SECONDS")
        ->check(CLI::Range(1u, 3600u))
        ->capture_default_str();
    // Large blocks (request lines, replies) always come from their own
    // mappings and go back to the system when freed. glibc otherwise raises
    // that threshold after the first large free, and every session thread's
    // arena keeps the memory of its largest request for good.
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            line.exitNow = app.exit(e);
            return line;
        }
        return zor::Error{std::string(e.what()) + "\nRun with --help for more information."};
    }
    if (memoryBudget < maxLine) {
        return zor::Error{"--memory-budget (" + std::to_string(memoryBudget) + ") is smaller than --max-line (" +
                          std::to_string(maxLine) + "): no line that long could ever be served"};
    }

    DaemonOptions& d = c.daemon;
    d.maxClients = maxClients;
    d.maxLineBytes = maxLine;
    d.memoryBudgetBytes = memoryBudget;
    d.idleTimeoutSeconds = idleTimeout;
    d.msgSize = c.msgSize;
    d.version = ZORHOST_VERSION;
    if (!group.empty()) {
        ::group* g = getgrnam(group.c_str());
        if (g == nullptr) {
            return zor::Error{"--group: no group named " + group};
        }
        d.allowedGroup = g->gr_gid;
        d.allowedGroupName = group;
    }
    if (!root.empty()) {
        std::error_code ec;
        if (!fs::is_directory(root, ec)) {
            return zor::Error{"--root " + root + " is not a directory"};
        }
        setenv("ZOR_ROOT", absolute(root).c_str(), 1);
    }
    console::ConsoleOptions& w = c.console;
    if (!c.http.empty()) {
        zor::Expected<void> address = readHttpAddress(c.http, &w);
        if (!address) {
            return zor::Error{address.error()};
        }
    }
    if (tlsCert.empty() != tlsKey.empty()) {
        return zor::Error{"--tls-cert and --tls-key go together"};
    }
    w.tlsCert = tlsCert.empty() ? "" : absolute(tlsCert);
    w.tlsKey = tlsKey.empty() ? "" : absolute(tlsKey);
    zor::Expected<std::vector<console::Cidr>> allowed = console::parseCidrList(metricsAllow);
    if (!allowed) {
        return zor::Error{"--metrics-allow: " + allowed.error()};
    }
    w.metricsAllow = std::move(*allowed);
    w.idleTimeoutSeconds = consoleIdle;
    w.loginsInAll = consoleLogins;
    w.loginsPerUser = consoleLoginsPerUser;
    w.http.connections = consoleConnections;
    w.http.connectionsPerAddress = consoleConnectionsPerAddress;
    w.http.requestSeconds = consoleRequestTimeout;
    w.msgSize = c.msgSize;
    w.interval = c.interval;
    if (!c.foreground && log.empty()) {
        return zor::Error{"in the background the log needs a file: give --log FILE, or --foreground"};
    }
    // Absolute before a background start leaves the working folder.
    d.socketPath = socket.empty() ? defaultSocketPath() : absolute(socket);
    c.module = module.empty() ? defaultModulePath() : absolute(module);
    c.log = log.empty() ? "" : absolute(log);
    return line;
}

} // namespace zorhostd
