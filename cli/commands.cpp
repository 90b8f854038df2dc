#include "commands.h"

#include "configlock.h"
#include "hostsession.h"
#include "protocol.h"
#include "remotesession.h"
#include "replyformat.h"
#include "scriptpipe.h"
#include "scriptrun.h"
#include "showdiff.h"

#include "diffwords.h"
#include "strictcheck.h"
#include "triggertry.h"
#include "validatecmd.h"

#include "zorglobals.h"
#include "zormonitor_host.h"
#include "zorpath.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zorhost {

namespace {

int usageError(const std::string& message)
{
    std::cerr << "zorhost: " << message << "\nRun with --help for more information.\n";
    return kExitUsage;
}

zor::Expected<std::string> readScript(const std::string& source)
{
    std::ostringstream content;
    if (source == "-") {
        content << std::cin.rdbuf();
    } else {
        if (fs::is_directory(source)) {
            return zor::Error{"cannot read script " + source + ": it is a directory"};
        }
        std::ifstream in(source, std::ios::binary);
        if (!in) {
            return zor::Error{"cannot read script " + source};
        }
        content << in.rdbuf();
    }
    return content.str();
}

/// Whether the script is standard input read as it comes: with --connect,
/// so that each line's reply is printed before the next line is read.
bool streamsScript(const Options& o) { return o.connect && o.script == "-" && o.op.empty(); }

/// Takes every character and keeps none: where the log stream goes when
/// nobody asked for it.
class DiscardBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

/// Points the host log stream at a file or at nothing for the life of main,
/// and hands it back to standard error before the file closes.
class LogRedirect {
public:
    ~LogRedirect()
    {
        if (_previous != nullptr) {
            zor_logstream.flush();
            zor_logstream.rdbuf(_previous);
        }
    }
    bool open(const std::string& path)
    {
        if (!_file.open(path, std::ios::out | std::ios::app)) {
            return false;
        }
        _previous = zor_logstream.rdbuf(&_file);
        return true;
    }
    void discard() { _previous = zor_logstream.rdbuf(&_discard); }

private:
    std::filebuf _file;
    DiscardBuffer _discard;
    std::streambuf* _previous = nullptr;
};

/// Every key path the module registered for one access type.
std::vector<std::string> keyPathsOf(const HostListener& listener, int type)
{
    std::vector<std::string> paths;
    for (const KeyRow& row : listener.rows()) {
        if (row.type == type) {
            paths.push_back(row.keyName);
        }
    }
    return paths;
}

/// Runs the requests (or show, or diff) through run, wherever the session
/// lives; listener gives the registered keys for suggestions when known.
int runSession(const Options& o, const std::vector<HostRequest>& requests, const RequestRunner& run,
               const HostListener* listener)
{
    bool show = o.op == kShow;
    bool diff = o.op == kDiff;
    int status = kExitOk;
    if (show) {
        status = showConfiguration(run, o.json, std::cout, std::cerr);
    } else {
        ScriptRunOptions options;
        options.json = o.json;
        options.keepGoing = o.keepGoing;
        options.dryRun = o.dryRun;
        if (listener != nullptr) {
            options.registeredKeys = [listener](int type) { return keyPathsOf(*listener, type); };
        }
        if (o.strict) {
            options.refusal = [](const HostRequest& request) { return strictRefusal(request, strictXmlProblems); };
        }
        std::optional<SessionDiff> changes;
        if (diff) {
            changes.emplace(run, o.json, std::cout, std::cerr, console::diffWords);
            options.beforeCommit = [&changes] { changes->print(); };
            options.afterCommit = [&changes] { changes->committed(); };
        }
        status = runRequests(requests, run, options, std::cout, std::cerr);
        bool commits = std::any_of(requests.begin(), requests.end(),
                                   [](const HostRequest& r) { return r.type == KEY_TYPE_COMMIT; });
        if (diff && !commits) {
            changes->print();
        }
    }
    return status;
}

/// The session in process: the module loaded, the editors' lock taken for
/// an editing session, the module's load warnings shown.
int runLocal(const Options& o, const std::vector<HostRequest>& requests)
{
    std::string error;
    std::string modulePath = o.module.empty() ? defaultModulePath() : o.module;
    // Kept for the life of the process, as the appliance's host keeps it: the
    // module's static state (configuration store, key table) is torn down
    // only at exit.
    ModuleLibrary module;
    if (zor::Expected<void> loaded = module.load(modulePath); !loaded) {
        std::cerr << "zorhost: " << loaded.error() << '\n';
        return kExitUsage;
    }

    // An editing session holds the lock from before the module reads
    // Monitor.cfg (at the first open) until after it closes; declared before
    // the session, it is released after the session's destructor ran.
    ConfigLock lock;
    bool edits = std::any_of(requests.begin(), requests.end(), isEditOrCommit);
    std::string lockPath = edits ? configLockPath() : std::string();
    if (!lockPath.empty()) {
        if (zor::Expected<void> locked = lock.acquire(lockPath, o.lockWait); !locked) {
            std::cerr << "zorhost: " << locked.error() << '\n';
            return kExitUsage;
        }
    }

    HostSession session(module, o.msgSize);
    // With --json, standard output carries JSON lines only: what the module
    // prints there during a request travels in that request's line.
    if (o.json && !session.captureStdout()) {
        std::cerr << "zorhost: cannot capture the module's standard output\n";
        return kExitUsage;
    }
    // The module says on its log stream when a Monitor.cfg that is there did
    // not load; the session then starts from an empty table, which a commit
    // would write. Even when the log stream is discarded, that much reaches
    // the user. (A missing file is an empty configuration, nothing lost.)
    std::stringbuf openLog;
    std::streambuf* quietLog = o.log.empty() && !o.verbose ? zor_logstream.rdbuf(&openLog) : nullptr;
    zor::Expected<void> opened = session.start();
    if (quietLog != nullptr) {
        zor_logstream.rdbuf(quietLog);
    }
    std::error_code ec;
    if (quietLog != nullptr && fs::exists(defaultConfigFile(), ec)) {
        std::istringstream lines(openLog.str());
        for (std::string line; std::getline(lines, line);) {
            if (line.find("cannot load") != std::string::npos) {
                std::cerr << "zorhost: warning: " << line << '\n';
            }
        }
    }
    if (!opened) {
        std::cerr << "zorhost: " << opened.error() << '\n';
        return kExitUsage;
    }
    RequestRunner run = [&session](const HostRequest& request) { return session.run(request); };
    int status = runSession(o, requests, run, &session.listener());
    session.close();
    return status;
}

/// The session in a running zorhostd.
int runRemote(const Options& o, const std::vector<HostRequest>& requests)
{
    std::string error;
    // The daemon holds the module, the store and the editing lock; its
    // sessions share one store, so no lock is taken here.
    RemoteSession remote(o.connect->empty() ? defaultSocketPath() : *o.connect);
    if (zor::Expected<void> opened = remote.open(); !opened) {
        std::cerr << "zorhost: " << opened.error() << '\n';
        return kExitUsage;
    }
    int status;
    if (!o.script.empty() && o.op.empty()) {
        // A script's requests go ahead of their replies; diff and show read
        // the table between requests and keep to one at a time.
        ScriptRunOptions options;
        options.json = o.json;
        options.keepGoing = o.keepGoing;
        options.dryRun = o.dryRun;
        if (o.strict) {
            options.refusal = [](const HostRequest& request) { return strictRefusal(request, strictXmlProblems); };
        }
        ScriptSource source;
        if (streamsScript(o)) {
            source.fd = STDIN_FILENO;
        } else {
            source.requests = requests;
        }
        status = runPipelined(remote, std::move(source), options, std::cout, std::cerr);
    } else {
        RequestRunner run = [&remote](const HostRequest& request) { return remote.run(request); };
        status = runSession(o, requests, run, nullptr);
    }
    remote.close();
    return status;
}

} // namespace

int runTryCommand(const Options& o)
{
    if (!o.key || !o.value || !o.script.empty()) {
        return usageError("try needs VARIABLE and TRIGGER (the XML text), and no --script");
    }
    std::string day = o.day;
    if (day.empty()) {
        char today[16];
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(today, sizeof today, "d%Y%m%d", &local);
        day = today;
    }
    return zormon::runTry(*o.key, day, *o.value, zorResolvePath("/var/log/monitor/"), o.interval, std::cout,
                           std::cerr);
}

int runValidateCommand(const Options& o)
{
    if (!o.script.empty() || o.value) {
        return usageError("validate takes one FILE at most, and no --script");
    }
    std::string file = o.key ? *o.key : defaultConfigFile();
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        return usageError("cannot validate " + file + ": it is a directory");
    }
    return validateConfigFile(file, o.json, std::cout);
}

zor::Expected<std::vector<HostRequest>> requestsOf(const Options& o)
{
    bool show = o.op == kShow;
    bool diff = o.op == kDiff;
    std::vector<HostRequest> requests;
    std::string error;
    if (show) {
        if (o.key || !o.script.empty()) {
            return zor::Error{"show takes no KEY and no --script"};
        }
    } else if (diff) {
        if (o.script.empty() || o.key) {
            return zor::Error{"diff needs --script FILE and no KEY"};
        }
    } else if (!o.script.empty() && !o.op.empty()) {
        return zor::Error{"give OP KEY [VALUE] or --script FILE, not both"};
    }
    if (streamsScript(o)) {
        // Read line by line as the session runs.
    } else if (!o.script.empty()) {
        zor::Expected<std::string> text = readScript(o.script);
        if (!text) {
            return zor::Error{text.error()};
        }
        zor::Expected<std::vector<HostRequest>> parsed = parseScript(*text);
        if (!parsed) {
            return zor::Error{parsed.error()};
        }
        requests = std::move(*parsed);
    } else if (!o.op.empty() && !show) {
        zor::Expected<HostRequest> request = makeRequest(o.op, o.key, o.value);
        if (!request) {
            return zor::Error{request.error()};
        }
        requests.push_back(std::move(*request));
    } else if (!show) {
        return zor::Error{"nothing to do: give OP KEY [VALUE], --script FILE, show, diff or validate"};
    }

    return requests;
}

int runSessionCommand(const Options& o, const std::vector<HostRequest>& requests)
{
    std::string error;
    LogRedirect logRedirect;
    if (!o.log.empty()) {
        if (!logRedirect.open(o.log)) {
            return usageError("cannot open log file " + o.log);
        }
    } else if (!o.verbose) {
        logRedirect.discard();
    }
    zormonitor::setMonitorInterval(o.interval);
    if (!zormonitor::setUdpTarget(o.udp, &error)) {
        return usageError("--udp: " + error);
    }
    return o.connect ? runRemote(o, requests) : runLocal(o, requests);
}

} // namespace zorhost
