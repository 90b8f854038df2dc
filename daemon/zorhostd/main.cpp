// zorhostd: the host as a long-running service. It loads the monitor module
// once, keeps it loaded, and serves every management client that connects
// to its UNIX socket with a module session of its own, all sessions sharing
// the module's one configuration store.
#include "consoleserver.h"
#include "protocol.h"
#include "sessiondaemon.h"
#include "valuescreen.h"

#include "configlock.h"
#include "hostsession.h"
#include "hostversion.h"
#include "modulelibrary.h"
#include "monitorthread.h"

#include "zorMonitorVariable.h"
#include "zorglobals.h"
#include "zorpath.h"
#include "zormonitor_host.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <grp.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 2;

struct Options {
    std::string root;
    std::string module;
    std::string socket;
    std::string group;
    std::string log;
    bool foreground = false;
    long interval = zormonitor::kDefaultIntervalSeconds;
    int msgSize = 1024;
    std::string udp = zormonitor::kDefaultUdpTarget;
    unsigned maxClients = 64;
    size_t maxLine = size_t(64) << 20;
    size_t memoryBudget = size_t(256) << 20;
    // Ten minutes: long enough for a person at a prompt, short enough that
    // clients left open cannot hold every slot for long.
    unsigned idleTimeout = 600;
    double lockWait = 10;
    int keepLogs = 90;
    std::string http;
    std::string tlsCert;
    std::string tlsKey;
    std::string metricsAllow = "127.0.0.0/8,::1";
    unsigned consoleIdle = 1800;
    unsigned consoleLogins = 32;
    unsigned consoleLoginsPerUser = 8;
    unsigned consoleConnections = 512;
    unsigned consoleConnectionsPerAddress = 32;
    unsigned consoleRequestTimeout = 10;
};

int startFailed(const std::string& message)
{
    std::cerr << "zorhostd: " << message << '\n';
    return kExitStartFailed;
}

std::string absolute(const std::string& path)
{
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

/// The log file of --log, reopened on SIGHUP so that log rotation works:
/// the rotated file is closed and a new one made under the same name.
std::string gLogPath;
std::unique_ptr<std::filebuf> gLogFile;

bool openLog()
{
    auto fresh = std::make_unique<std::filebuf>();
    if (!fresh->open(gLogPath, std::ios::out | std::ios::app)) {
        return false;
    }
    zor_logstream.flush();
    zor_logstream.rdbuf(fresh.get());
    gLogFile = std::move(fresh); // closes the file it replaces
    return true;
}

/// Once the daemon serves, what the module and the XML library write on
/// standard error (a parser's "Fatal Error at file ..." lines) goes to the
/// log file too; until then start failures stay on the terminal.
bool gStderrInLog = false;

void stderrToLog()
{
    int fd = gLogPath.empty() ? -1 : open(gLogPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
        std::cerr.flush();
        dup2(fd, STDERR_FILENO);
        close(fd);
        gStderrInLog = true;
    }
}

void reopenLog()
{
    if (!gLogPath.empty() && !openLog()) {
        zor_logstream << "zorhostd: cannot reopen the log file " << gLogPath << "; it stays on the old file"
                      << std::endl;
    } else if (gStderrInLog) {
        stderrToLog();
    }
}

/// Goes into the background: the caller returns in a grandchild that is
/// no session leader, while the starting process waits for readyPipe to
/// say how the start went and exits with that status.
bool daemonize(int* readyPipe)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child > 0) {
        close(fds[1]);
        int status = 0;
        waitpid(child, &status, 0);
        unsigned char code = kExitStartFailed;
        ssize_t n;
        do {
            n = read(fds[0], &code, 1);
        } while (n < 0 && errno == EINTR);
        _exit(n == 1 ? code : kExitStartFailed);
    }
    close(fds[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) {
        _exit(grandchild < 0 ? kExitStartFailed : 0);
    }
    *readyPipe = fds[1];
    if (chdir("/") != 0) {
        // Every path was made absolute before; the folder only matters for core files.
    }
    return true;
}

void reportStart(int readyPipe, unsigned char code)
{
    if (readyPipe >= 0) {
        if (write(readyPipe, &code, 1) != 1) {
            // The starting process is gone; nobody waits for the answer.
        }
        close(readyPipe);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app{"zorhostd: the monitor module's host as a service. Loads the module once and serves\n"
                 "management clients over a UNIX socket, each in a module session of its own; all\n"
                 "sessions share the module's configuration store. Clients: zorhost --connect.",
                 "zorhostd"};
    app.set_version_flag("--version", std::string("zorhostd ") + ZORHOST_VERSION);
    app.footer("Signals: SIGTERM or SIGINT stops (the requests under way finish, every session is closed,\n"
               "the socket removed; exit 0); SIGHUP reopens the --log file.\n"
               "Exit status: 0 stopped by a signal; 1 failed while serving; 2 usage error, module not\n"
               "loadable, first session not opened, or socket not usable.");
    app.add_option("--socket", o.socket,
                   std::string("The socket to listen on, used as given. Default: ") + kDefaultSocketPath +
                       " under the root")
        ->type_name("PATH");
    app.add_option("--group", o.group,
                   "Members of this group may connect, besides root. Default: root only")
        ->type_name("NAME");
    app.add_flag("--foreground", o.foreground, "Stay in the foreground (for systemd and tests)");
    app.add_option("--log", o.log, "Append the log (the daemon's and the module's) to FILE; SIGHUP reopens it. "
                                   "Default: standard error; needed without --foreground")
        ->type_name("FILE");
    app.add_option("--max-clients", o.maxClients, "Sessions served at once; the next client is refused")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--max-line", o.maxLine, "Longest request line in bytes; a longer one is refused")
        ->type_name("BYTES")
        // 1 TiB, or 1 GiB where a line must fit in a 32-bit address space.
        ->check(CLI::Range(size_t(16), size_t(1) << (sizeof(size_t) > 4 ? 40 : 30)))
        ->capture_default_str();
    app.add_option("--memory-budget", o.memoryBudget,
                   "Request-line bytes all socket sessions together may hold; a line that does not fit within 5 s "
                   "is refused. At least --max-line")
        ->type_name("BYTES")
        ->check(CLI::Range(size_t(16), size_t(1) << (sizeof(size_t) > 4 ? 40 : 30)))
        ->capture_default_str();
    app.add_option("--idle-timeout", o.idleTimeout, "Close a session that sends no request for this long; 0: never")
        ->type_name("SECONDS")
        ->check(CLI::Range(0u, 100000000u))
        ->capture_default_str();
    app.add_option("--root", o.root, "Resolve the module's fixed absolute paths and the default socket under DIR "
                                     "(sets ZOR_ROOT). Default: / (no prefix), or ZOR_ROOT when set")
        ->type_name("DIR");
    app.add_option("--module", o.module, "The module library to load. Default: libmonitor.so beside zorhostd")
        ->type_name("PATH");
    app.add_option("--interval", o.interval, "Monitoring interval in seconds that the monitor thread reports")
        ->type_name("N")
        ->check(CLI::Range(1L, LONG_MAX))
        ->capture_default_str();
    app.add_option("--msg-size", o.msgSize, "Starting reply size in bytes of each parameter block")
        ->type_name("N")
        ->check(CLI::Range(1, INT_MAX))
        ->capture_default_str();
    app.add_option("--udp", o.udp, "Where posted messages go, one UDP datagram each")
        ->type_name("HOST:PORT")
        ->capture_default_str();
    app.add_option("--keep-logs", o.keepLogs, "Days of monitoring logs the monitor thread keeps")
        ->type_name("DAYS")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    app.add_option("--lock-wait", o.lockWait,
                   "Seconds to wait at start for an editor's lock on the configuration (Monitor.cfg.lock)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    app.add_option("--http", o.http,
                   "Serve the web console, its JSON API and /metrics on ADDR:PORT (or PORT alone: loopback). "
                   "Default: off")
        ->type_name("ADDR:PORT");
    app.add_option("--tls-cert", o.tlsCert, "Serve --http over TLS with this certificate (PEM); needs --tls-key")
        ->type_name("FILE");
    app.add_option("--tls-key", o.tlsKey, "The private key (PEM) of --tls-cert")->type_name("FILE");
    app.add_option("--metrics-allow", o.metricsAllow,
                   "Addresses that may read /metrics without a login, CIDR[,CIDR...]")
        ->type_name("CIDRS")
        ->capture_default_str();
    app.add_option("--console-idle", o.consoleIdle, "Close a console login that makes no request for this long")
        ->type_name("SECONDS")
        ->check(CLI::Range(1u, 100000000u))
        ->capture_default_str();
    app.add_option("--console-logins", o.consoleLogins, "Console logins open at once, all users together")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-logins-per-user", o.consoleLoginsPerUser, "Console logins open at once for one user")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-connections", o.consoleConnections, "HTTP connections open at once, in all")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-connections-per-address", o.consoleConnectionsPerAddress,
                   "HTTP connections open at once from one client address")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--console-request-timeout", o.consoleRequestTimeout,
                   "Close an HTTP connection whose request has not arrived whole this long after the connection "
                   "opened or its previous answer")
        ->type_name("SECONDS")
        ->check(CLI::Range(1u, 3600u))
        ->capture_default_str();
    // Large blocks (request lines, replies) always come from their own
    // mappings and go back to the system when freed. glibc otherwise raises
    // that threshold after the first large free, and every session thread's
    // arena keeps the memory of its largest request for good.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);
        }
        std::cerr << "zorhostd: " << e.what() << "\nRun with --help for more information.\n";
        return kExitStartFailed;
    }
    if (o.memoryBudget < o.maxLine) {
        std::cerr << "zorhostd: --memory-budget (" << o.memoryBudget << ") is smaller than --max-line (" << o.maxLine
                  << "): no line that long could ever be served\n";
        return kExitStartFailed;
    }

    std::string error0;
    DaemonOptions daemonOptions;
    daemonOptions.maxClients = o.maxClients;
    daemonOptions.maxLineBytes = o.maxLine;
    daemonOptions.memoryBudgetBytes = o.memoryBudget;
    daemonOptions.idleTimeoutSeconds = o.idleTimeout;
    daemonOptions.msgSize = o.msgSize;
    daemonOptions.version = ZORHOST_VERSION;
    if (!o.group.empty()) {
        errno = 0;
        group* g = getgrnam(o.group.c_str());
        if (g == nullptr) {
            return startFailed("--group: no group named " + o.group);
        }
        daemonOptions.allowedGroup = g->gr_gid;
        daemonOptions.allowedGroupName = o.group;
    }
    if (!o.root.empty()) {
        std::error_code ec;
        if (!fs::is_directory(o.root, ec)) {
            return startFailed("--root " + o.root + " is not a directory");
        }
        setenv("ZOR_ROOT", absolute(o.root).c_str(), 1);
    }
    console::ConsoleOptions consoleOptions;
    if (!o.http.empty()) {
        size_t colon = o.http.rfind(':');
        std::string address = colon == std::string::npos ? "127.0.0.1" : o.http.substr(0, colon);
        std::string port = colon == std::string::npos ? o.http : o.http.substr(colon + 1);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        char* end = nullptr;
        long number = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || number < 0 || number > 65535 || address.empty()) {
            return startFailed("--http: expected ADDR:PORT, e.g. 127.0.0.1:8080");
        }
        consoleOptions.address = address;
        consoleOptions.port = static_cast<int>(number);
    }
    if (o.tlsCert.empty() != o.tlsKey.empty()) {
        return startFailed("--tls-cert and --tls-key go together");
    }
    consoleOptions.tlsCert = o.tlsCert.empty() ? "" : absolute(o.tlsCert);
    consoleOptions.tlsKey = o.tlsKey.empty() ? "" : absolute(o.tlsKey);
    if (!console::parseCidrList(o.metricsAllow, &consoleOptions.metricsAllow, &error0)) {
        return startFailed("--metrics-allow: " + error0);
    }
    consoleOptions.idleTimeoutSeconds = o.consoleIdle;
    consoleOptions.loginsInAll = o.consoleLogins;
    consoleOptions.loginsPerUser = o.consoleLoginsPerUser;
    consoleOptions.http.connections = o.consoleConnections;
    consoleOptions.http.connectionsPerAddress = o.consoleConnectionsPerAddress;
    consoleOptions.http.requestSeconds = o.consoleRequestTimeout;
    consoleOptions.msgSize = o.msgSize;
    consoleOptions.interval = o.interval;
    if (!o.foreground && o.log.empty()) {
        return startFailed("in the background the log needs a file: give --log FILE, or --foreground");
    }
    // Absolute before a background start leaves the working folder.
    daemonOptions.socketPath = o.socket.empty() ? defaultSocketPath() : absolute(o.socket);
    std::string modulePath = o.module.empty() ? defaultModulePath() : absolute(o.module);
    if (!o.log.empty()) {
        gLogPath = absolute(o.log);
        if (!openLog()) {
            return startFailed("cannot open log file " + o.log);
        }
    }
    zormonitor::setMonitorInterval(o.interval);
    std::string error;
    if (!zormonitor::setUdpTarget(o.udp, &error)) {
        return startFailed("--udp: " + error);
    }

    // A client that goes away must not end the daemon; each write says so
    // (MSG_NOSIGNAL) and this covers every other path.
    signal(SIGPIPE, SIG_IGN);
    int readyPipe = -1;
    if (!o.foreground && !daemonize(&readyPipe)) {
        return startFailed(std::string("cannot go into the background: ") + std::strerror(errno));
    }
    auto failStart = [&](const std::string& message) {
        int code = startFailed(message);
        if (!gLogPath.empty()) {
            zor_logstream << "zorhostd: " << message << std::endl;
        }
        reportStart(readyPipe, static_cast<unsigned char>(code));
        return code;
    };

    // Signals are taken in by the main loop alone: blocked here, before any
    // thread starts, every session thread inherits the mask.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    int signalFd = signalfd(-1, &handled, SFD_CLOEXEC);
    if (signalFd < 0) {
        return failStart(std::string("cannot take in signals: ") + std::strerror(errno));
    }

    // Kept for the life of the process, as the appliance's host keeps it.
    ModuleLibrary module;
    if (!module.load(modulePath, &error)) {
        return failStart(error);
    }
    SessionDaemon daemon(module, daemonOptions);
    // Before any session opens, the console's included.
    valuescreen::install([&daemon](const std::string& text) { daemon.queueLog(text); });

    // The daemon edits the configuration for as long as it runs, so it holds
    // the editors' lock from before the module first reads Monitor.cfg to
    // the end: an editing zorhost run in process waits, and is told this
    // daemon's pid, instead of overwriting the daemon's commits.
    ConfigLock configLock;
    std::string lockPath = configLockPath();
    if (!lockPath.empty() && !configLock.acquire(lockPath, o.lockWait, &error)) {
        return failStart(error);
    }

    // The monitor thread samples the committed configuration beside the
    // sessions and answers the module's variable keys; a commit tells it
    // to read the configuration again. Its lines reach the log through the
    // daemon, which writes them when the module mutex is free.
    zormon::MonitorThreadOptions threadOptions;
    threadOptions.interval = o.interval;
    threadOptions.keepLogsDays = o.keepLogs;
    threadOptions.hostLog = [&daemon](const std::string& text) { daemon.queueLog("monitor-thread: " + text); };
    threadOptions.udpPost = ZORUDPThread::postMessage;
    zormon::MonitorThread monitorThread(threadOptions);
    zormonitor::ThreadServices services;
    services.currentValue = [&monitorThread](const std::string& name, std::string* value) {
        return monitorThread.currentValue(name, value);
    };
    services.variables = [&monitorThread] { return monitorThread.variables(); };
    services.configurationChanged = [&monitorThread] { monitorThread.configurationChanged(); };
    zormonitor::setThreadServices(std::move(services));
    monitorThread.start();
    {
        // A first session loads the configuration store, and tells at once
        // whether the module can serve sessions at all.
        std::lock_guard<FairMutex> lock(daemon.moduleMutex());
        HostSession first(module, o.msgSize);
        std::optional<EscapedException> thrown;
        std::optional<int> opened = first.open(&thrown);
        if (!opened || *opened != 0) {
            first.close();
            zor_logstream.flush();
            return failStart("OpenSession failed: " +
                             (opened ? "result " + std::to_string(*opened)
                                     : "exception " + thrown->type + (thrown->message ? ": " + *thrown->message : "")));
        }
    }
    if (!daemon.listen(&error)) {
        return failStart(error);
    }
    // Paths resolved now, under the root that --root set.
    consoleOptions.usersFile = zorResolvePath("/etc/configs/monitor/console.users");
    consoleOptions.logFolder = zorResolvePath("/var/log/monitor/");
    std::unique_ptr<console::ConsoleServer> webConsole;
    if (!o.http.empty()) {
        webConsole = std::make_unique<console::ConsoleServer>(
            module, daemon.moduleMutex(), monitorThread, [&daemon] { return daemon.activeSessions(); }, consoleOptions);
        daemon.setConsoleLogins([&webConsole] { return webConsole->openLogins(); });
        if (!webConsole->start(&error)) {
            return failStart(error);
        }
        daemon.log("console listening on " + o.http + (o.tlsCert.empty() ? " (HTTP)" : " (HTTPS)"));
    }
    if (readyPipe >= 0) {
        reportStart(readyPipe, kExitOk);
        // Nothing is read from or written to the terminal any more; the log
        // has its file.
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }
    stderrToLog();
    int status = daemon.serve(signalFd, reopenLog);
    close(signalFd);
    if (webConsole) {
        webConsole->stop();
        webConsole.reset();
    }
    monitorThread.stop();
    zormonitor::setThreadServices(zormonitor::ThreadServices{});
    daemon.log("monitor thread stopped");
    zor_logstream.flush();
    zor_logstream.rdbuf(std::cerr.rdbuf());
    return status;
}
