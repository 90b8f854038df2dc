#include "service.h"

#include "alertcommands.h"
#include "audittrail.h"
#include "consoleserver.h"
#include "diffwords.h"
#include "process.h"
#include "sessiondaemon.h"
#include "valuescreen.h"

#include "configlock.h"
#include "hostsession.h"
#include "modulelibrary.h"
#include "monitorthread.h"
#include "showdiff.h"

#include "zorMonitorVariable.h"
#include "zorglobals.h"
#include "zormonitor_host.h"
#include "zorobxinfo.h"
#include "zorpath.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>

namespace zorhostd {

namespace {

int startFailed(const std::string& message)
{
    std::cerr << "zorhostd: " << message << '\n';
    if (zor_logstream.rdbuf() != std::cerr.rdbuf()) {
        zor_logstream << "zorhostd: " << message << std::endl;
    }
    reportStart(kExitStartFailed);
    return kExitStartFailed;
}

/// The module's variable keys and commits reach the running thread.
zormonitor::ThreadServices servicesOf(zormon::MonitorThread& thread)
{
    zormonitor::ThreadServices services;
    services.currentValue = [&thread](const std::string& name, std::string* value) {
        return thread.currentValue(name, value);
    };
    services.variables = [&thread] { return thread.variables(); };
    services.configurationChanged = [&thread] { thread.configurationChanged(); };
    return services;
}

/// The console's alerts page, where an alert manager's user follows an
/// alert back to this appliance. A wildcard address (every interface) gives
/// the host name, which the site's name service resolves for whoever reads
/// the manager's page; a loopback address only serves someone on this
/// machine, but it is what the console really listens on.
std::string consoleAlertsUrl(const console::ConsoleOptions& console)
{
    std::string host = console.address;
    if (host == "0.0.0.0" || host == "::" || host == "*") {
        char name[HOST_NAME_MAX + 1] = {};
        host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "127.0.0.1";
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    return std::string(console.tlsCert.empty() ? "http" : "https") + "://" + host + ":" +
           std::to_string(console.port) + "/alerts";
}

/// Uninstalls the thread's services before the thread goes away.
struct ServicesInstalled {
    explicit ServicesInstalled(zormon::MonitorThread& thread) { zormonitor::setThreadServices(servicesOf(thread)); }
    ~ServicesInstalled() { zormonitor::setThreadServices(zormonitor::ThreadServices{}); }
};

} // namespace

int runService(const Config& c)
{
    if (!c.log.empty() && !openLogFile(c.log)) {
        std::cerr << "zorhostd: cannot open log file " << c.log << '\n';
        return kExitStartFailed;
    }
    zormonitor::setMonitorInterval(c.interval);
    std::string error;
    if (!zormonitor::setUdpTarget(c.udp, &error)) {
        std::cerr << "zorhostd: --udp: " << error << '\n';
        return kExitStartFailed;
    }
    // A client that goes away must not end the daemon; each write says so
    // (MSG_NOSIGNAL) and this covers every other path.
    signal(SIGPIPE, SIG_IGN);
    if (!c.foreground && !daemonize()) {
        std::cerr << "zorhostd: cannot go into the background: " << std::strerror(errno) << '\n';
        return kExitStartFailed;
    }
    // The daemon prints nothing of its own on standard output (its log is
    // standard error), so fd 1 can stay on the module's capture file for
    // good. Without it each session moves fd 1 per request, as before.
    if (!HostSession::keepStdoutCaptured()) {
        std::cerr << "zorhostd: the module's standard output is captured per request: " << std::strerror(errno)
                  << '\n';
    }
    int signalFd = takeInSignals();
    if (signalFd < 0) {
        return startFailed(std::string("cannot take in signals: ") + std::strerror(errno));
    }

    // Kept for the life of the process, as the appliance's host keeps it.
    ModuleLibrary module;
    if (zor::Expected<void> loaded = module.load(c.module); !loaded) {
        return startFailed(loaded.error());
    }
    SessionDaemon daemon(module, c.daemon);
    // Before any session opens, the console's included.
    valuescreen::install([&daemon](const std::string& text) { daemon.queueLog(text); });

    // The daemon edits the configuration for as long as it runs, so it holds
    // the editors' lock from before the module first reads Monitor.cfg to
    // the end: an editing zorhost run in process waits, and is told this
    // daemon's pid, instead of overwriting the daemon's commits.
    ConfigLock configLock;
    std::string lockPath = configLockPath();
    if (!lockPath.empty()) {
        if (zor::Expected<void> locked = configLock.acquire(lockPath, c.lockWait); !locked) {
            return startFailed(locked.error());
        }
    }

    // The monitor thread samples the committed configuration beside the
    // sessions and answers the module's variable keys; a commit tells it
    // to read the configuration again. Its lines reach the log through the
    // daemon, which writes them when the module mutex is free.
    zormon::MonitorThreadOptions threadOptions;
    threadOptions.interval = c.interval;
    threadOptions.keepLogsDays = c.keepLogs;
    threadOptions.hostLog = [&daemon](const std::string& text) { daemon.queueLog("monitor-thread: " + text); };
    threadOptions.udpPost = ZORUDPThread::postMessage;
    // Alert managers tell appliances apart by this label.
    ZorObxInfo::loadData();
    threadOptions.appliance = ZorObxInfo::getSerialNumber();
    if (!c.http.empty()) {
        threadOptions.generatorUrl = consoleAlertsUrl(c.console);
    }
    zormon::MonitorThread monitorThread(threadOptions);
    ServicesInstalled services(monitorThread);
    // The socket's daemon commands (alerts, silences, acknowledgements) go
    // to the thread; the sessions' threads call this concurrently.
    daemon.setCommandHandler([&monitorThread](const std::string& line, const std::string& user) {
        return answerAlertCommand(monitorThread, line, user);
    });
    // Logins, logouts and commits of the console and the socket, in the
    // daemon's log and in audit.log beside the monitoring logs, kept as long.
    AuditOptions auditOptions;
    auditOptions.folder = zorResolvePath("/var/log/monitor/");
    auditOptions.keepDays = c.keepLogs;
    auditOptions.daemonLog = [&daemon](const std::string& line) { daemon.queueLog("zorhostd: audit: " + line); };
    auditOptions.describe = console::diffWords;
    AuditTrail audit(auditOptions);
    daemon.setAudit(&audit);
    monitorThread.start();
    {
        // A first session loads the configuration store, and tells at once
        // whether the module can serve sessions at all. The table it sees is
        // the file's, which the first commit's record starts from.
        std::lock_guard<FairMutex> lock(daemon.moduleMutex());
        HostSession first(module, c.msgSize);
        zor::Expected<void> opened = first.start();
        if (!opened) {
            zor_logstream.flush();
            return startFailed(opened.error());
        }
        first.captureStdout();
        std::vector<std::string> table;
        std::string readError;
        if (readEntries([&first](const HostRequest& r) { return first.run(r); }, &table, &readError)) {
            audit.setCommitted(std::move(table));
        }
    }
    if (zor::Expected<void> listening = daemon.listen(); !listening) {
        return startFailed(listening.error());
    }
    // Paths resolved now, under the root that --root set.
    console::ConsoleOptions consoleOptions = c.console;
    consoleOptions.usersFile = zorResolvePath("/etc/configs/monitor/console.users");
    consoleOptions.logFolder = zorResolvePath("/var/log/monitor/");
    consoleOptions.audit = &audit;
    std::unique_ptr<console::ConsoleServer> webConsole;
    if (!c.http.empty()) {
        webConsole = std::make_unique<console::ConsoleServer>(
            module, daemon.moduleMutex(), monitorThread, [&daemon] { return daemon.activeSessions(); },
            consoleOptions);
        daemon.setConsoleLogins([&webConsole] { return webConsole->openLogins(); });
        if (zor::Expected<void> serving = webConsole->start(); !serving) {
            return startFailed(serving.error());
        }
        daemon.log("console listening on " + c.http + (c.console.tlsCert.empty() ? " (HTTP)" : " (HTTPS)"));
    }
    reportStart(kExitOk);
    stderrToLog();
    int status = daemon.serve(signalFd, reopenLog);
    close(signalFd);
    if (webConsole) {
        webConsole->stop();
        webConsole.reset();
    }
    monitorThread.stop();
    daemon.log("monitor thread stopped");
    closeLog();
    return status;
}

} // namespace zorhostd
