// zorhost: a small real host for the monitor module. It loads the module
// with dlopen, opens one session, sends the requests of its command line or
// of a script, prints every reply and closes the session.
#include "configlock.h"
#include "hostsession.h"
#include "hostversion.h"
#include "protocol.h"
#include "remotesession.h"
#include "replyformat.h"
#include "request.h"
#include "scriptrun.h"
#include "showdiff.h"
#include "strictcheck.h"
#include "triggertry.h"
#include "validatecmd.h"

#include "zorglobals.h"
#include "zorpath.h"
#include "zormonitor_host.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

/// Commands that are not a request: they read or check the whole configuration.
const char* const kShow = "show";
const char* const kDiff = "diff";
const char* const kValidate = "validate";
const char* const kTry = "try";

struct Options {
    std::string root;
    std::string module;
    bool json = false;
    std::string log;
    long interval = zormonitor::kDefaultIntervalSeconds;
    int msgSize = 1024;
    std::string udp = zormonitor::kDefaultUdpTarget;
    std::string script;
    std::string op;
    std::optional<std::string> key;
    std::optional<std::string> value;
    bool keepGoing = false;
    bool strict = false;
    bool dryRun = false;
    bool verbose = false;
    double lockWait = 10;
    std::optional<std::string> connect; ///< set: run the session in zorhostd; empty: its default socket
    std::string day;                    ///< try: the day's log, dYYYYMMDD; default today
};

/// Accepts a whole decimal number from 1 to max; the message names the range.
CLI::Validator wholeNumberUpTo(long long max)
{
    return CLI::Validator(
        [max](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            long long number = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || number < 1 || number > max) {
                return "expected a whole number from 1 to " + std::to_string(max) + ", got \"" + text + "\"";
            }
            return std::string();
        },
        "1.." + std::to_string(max));
}

int usageError(const std::string& message)
{
    std::cerr << "zorhost: " << message << "\nRun with --help for more information.\n";
    return kExitUsage;
}

bool readScript(const std::string& source, std::string* text, std::string* error)
{
    std::ostringstream content;
    if (source == "-") {
        content << std::cin.rdbuf();
    } else {
        if (fs::is_directory(source)) {
            *error = "cannot read script " + source + ": it is a directory";
            return false;
        }
        std::ifstream in(source, std::ios::binary);
        if (!in) {
            *error = "cannot read script " + source;
            return false;
        }
        content << in.rdbuf();
    }
    *text = content.str();
    return true;
}

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
            changes.emplace(run, o.json, std::cout, std::cerr);
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

} // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app{"Stand-in host of the monitor module: loads the module, opens one session, sends requests\n"
                 "and prints every reply.\n"
                 "  zorhost [OPTIONS] OP KEY [VALUE]\n"
                 "  zorhost [OPTIONS] --script FILE        (FILE '-' reads standard input)\n"
                 "  zorhost [OPTIONS] show                 (every monitor entry, one per line: INDEX XML)\n"
                 "  zorhost [OPTIONS] diff --script FILE   (before each commit, what the session changed)\n"
                 "  zorhost [OPTIONS] validate [FILE]      (check a configuration file; default: the root's Monitor.cfg)\n"
                 "  zorhost [OPTIONS] try VARIABLE TRIGGER (when a trigger would have fired over a logged day)",
                 "zorhost"};
    app.footer("OP is get, set, add, del or commit; OP:ID (e.g. get:15) calls that entry point with key id ID\n"
               "without routing. commit without KEY uses " +
               std::string(kDefaultCommitKey) +
               ".\n"
               "Script lines: OP KEY [VALUE] separated by single blanks, VALUE the rest of the line;\n"
               "blank lines and lines starting with '#' are skipped. A script stops at the first request\n"
               "that fails (negative result or exception): nothing after it is sent, no commit either.\n"
               "Edits are lost unless a commit follows them in the same invocation; a session that ends\n"
               "with uncommitted edits says so on standard error and exits with 3.\n"
               "A session with set, add, del or commit requests locks Monitor.cfg.lock beside the\n"
               "configuration from before it opens until it has closed, so editors take turns.\n"
               "Exit status: 0 every request returned 0 or more (validate: no problems); 1 a request\n"
               "returned a negative result, raised an exception or was refused by --strict (validate:\n"
               "problems found); 2 usage error, module not loadable, session not opened, or the\n"
               "configuration locked by another editor; 3 every request succeeded but edits were left\n"
               "uncommitted.");

    app.add_option("--root", o.root,
                   "Resolve the module's fixed absolute paths (/etc/configs/monitor/, /var/log/monitor/, "
                   "hardware status files) under DIR; sets ZOR_ROOT for the module. Default: / (no prefix), "
                   "or ZOR_ROOT when it is already set")
        ->type_name("DIR");
    app.add_option("--module", o.module, "The module library to load. Default: libmonitor.so beside zorhost")
        ->type_name("PATH");
    app.add_flag("--json", o.json, "Print one JSON object per request on standard output");
    app.add_option("--log", o.log, "Append the host log stream (the module's trace lines) to FILE. Default: "
                                   "discarded, or standard error with --verbose")
        ->type_name("FILE");
    app.add_flag("-v,--verbose", o.verbose, "Show the host log stream (the module's trace lines) on standard error");
    app.add_option("--interval", o.interval, "Monitoring interval in seconds that the monitor thread reports")
        ->type_name("N")
        ->check(wholeNumberUpTo(LONG_MAX))
        ->capture_default_str();
    app.add_option("--msg-size", o.msgSize, "Starting reply size in bytes of each parameter block")
        ->type_name("N")
        ->check(wholeNumberUpTo(INT_MAX))
        ->capture_default_str();
    app.add_option("--udp", o.udp, "Where posted messages go, one UDP datagram each")
        ->type_name("HOST:PORT")
        ->capture_default_str();
    app.add_option("--script", o.script, "Read requests from FILE, one per line; '-' reads standard input")
        ->type_name("FILE");
    app.add_flag("--keep-going", o.keepGoing, "Send every request of a script even after one failed");
    app.add_flag("--strict", o.strict,
                 "Before sending, refuse indexes that are not plain decimal numbers, value indexes that differ "
                 "from the key's, and set/add XML texts that the configuration checker refuses");
    app.add_flag("--dry-run", o.dryRun, "Send no commit (with diff: show what a commit would write)");
    app.add_option("--lock-wait", o.lockWait,
                   "Seconds an editing session waits for another editor's lock before it gives up")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    app.add_option("--connect", o.connect,
                   "Run the session in a running zorhostd, through its socket SOCK (a path holding a '/'). "
                   "Default SOCK: /run/zorhost/zorhost.sock under the root")
        ->type_name("[SOCK]")
        ->expected(0, 1);
    app.add_option("--day", o.day, "try: the day whose logged samples the trigger is played over. Default: today")
        ->type_name("dYYYYMMDD");
    app.set_version_flag("--version", "zorhost " ZORHOST_VERSION);
    app.add_option("OP", o.op, "get, set, add, del or commit, or OP:ID; or show, diff, validate");
    app.add_option("KEY", o.key, "Key path of the request (validate: the file to check)");
    app.add_option("VALUE", o.value, "Value text of the request");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    // "--connect get KEY": the option's optional SOCK took the OP. A socket
    // path always holds a '/', so a word without one moves back in front.
    if (o.connect && !o.connect->empty() && o.connect->find('/') == std::string::npos) {
        if (o.value) {
            return usageError("--connect " + *o.connect + ": SOCK must be a path holding a '/'");
        }
        o.value = o.key;
        o.key = o.op.empty() ? std::nullopt : std::optional<std::string>(o.op);
        o.op = *o.connect;
        o.connect = std::string();
    }

    if (!o.root.empty()) {
        std::error_code ec;
        if (!fs::is_directory(o.root, ec)) {
            return usageError("--root " + o.root + " is not a directory");
        }
        // Absolute, so that replies quoting a path quote the one really used.
        setenv("ZOR_ROOT", fs::absolute(o.root).lexically_normal().string().c_str(), 1);
    }

    // try plays a trigger text (an action-trigger, or a preset as the preset
    // key answers it) over the samples of one logged day with the monitor
    // thread's own evaluator: no module, no session, nothing changes.
    if (o.op == kTry) {
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

    // validate needs neither the module nor a session.
    if (o.op == kValidate) {
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

    bool show = o.op == kShow;
    bool diff = o.op == kDiff;
    std::vector<HostRequest> requests;
    std::string error;
    if (show) {
        if (o.key || !o.script.empty()) {
            return usageError("show takes no KEY and no --script");
        }
    } else if (diff) {
        if (o.script.empty() || o.key) {
            return usageError("diff needs --script FILE and no KEY");
        }
    } else if (!o.script.empty() && !o.op.empty()) {
        return usageError("give OP KEY [VALUE] or --script FILE, not both");
    }
    if (!o.script.empty()) {
        std::string text;
        if (!readScript(o.script, &text, &error) || !parseScript(text, &requests, &error)) {
            return usageError(error);
        }
    } else if (!o.op.empty() && !show) {
        HostRequest request;
        if (!makeRequest(o.op, o.key, o.value, &request, &error)) {
            return usageError(error);
        }
        requests.push_back(std::move(request));
    } else if (!show) {
        return usageError("nothing to do: give OP KEY [VALUE], --script FILE, show, diff or validate");
    }

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

    if (o.connect) {
        // The daemon holds the module, the store and the editing lock; its
        // sessions share one store, so no lock is taken here.
        RemoteSession remote(o.connect->empty() ? defaultSocketPath() : *o.connect);
        if (!remote.open(&error)) {
            std::cerr << "zorhost: " << error << '\n';
            return kExitUsage;
        }
        RequestRunner run = [&remote](const HostRequest& request) { return remote.run(request); };
        int status = runSession(o, requests, run, nullptr);
        remote.close();
        return status;
    }

    std::string modulePath = o.module.empty() ? defaultModulePath() : o.module;
    // Kept for the life of the process, as the appliance's host keeps it: the
    // module's static state (configuration store, key table) is torn down
    // only at exit.
    ModuleLibrary module;
    if (!module.load(modulePath, &error)) {
        std::cerr << "zorhost: " << error << '\n';
        return kExitUsage;
    }

    // An editing session holds the lock from before the module reads
    // Monitor.cfg (at the first open) until after it closes; declared before
    // the session, it is released after the session's destructor ran.
    ConfigLock lock;
    bool edits = std::any_of(requests.begin(), requests.end(), isEditOrCommit);
    std::string lockPath = edits ? configLockPath() : std::string();
    if (!lockPath.empty() && !lock.acquire(lockPath, o.lockWait, &error)) {
        std::cerr << "zorhost: " << error << '\n';
        return kExitUsage;
    }

    HostSession session(module, o.msgSize);
    // With --json, standard output carries JSON lines only: what the module
    // prints there during a request travels in that request's line.
    if (o.json && !session.captureStdout()) {
        std::cerr << "zorhost: cannot capture the module's standard output\n";
        return kExitUsage;
    }
    std::optional<EscapedException> thrown;
    // The module says on its log stream when a Monitor.cfg that is there did
    // not load; the session then starts from an empty table, which a commit
    // would write. Even when the log stream is discarded, that much reaches
    // the user. (A missing file is an empty configuration, nothing lost.)
    std::stringbuf openLog;
    std::streambuf* quietLog = o.log.empty() && !o.verbose ? zor_logstream.rdbuf(&openLog) : nullptr;
    std::optional<int> opened = session.open(&thrown);
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
    if (!opened || *opened != 0) {
        std::cerr << "zorhost: OpenSession failed: ";
        if (opened) {
            std::cerr << "result " << *opened << '\n';
        } else {
            std::cerr << "exception " << thrown->type << (thrown->message ? ": " + *thrown->message : "") << '\n';
        }
        return kExitUsage;
    }
    RequestRunner run = [&session](const HostRequest& request) { return session.run(request); };
    int status = runSession(o, requests, run, &session.listener());
    session.close();
    return status;
}
