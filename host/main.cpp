// zorhost: a small real host for the monitor module. It loads the module
// with dlopen, opens one session, sends the requests of its command line or
// of a script, prints every reply and closes the session.
#include "hostsession.h"
#include "replyformat.h"
#include "request.h"

#include "zorglobals.h"
#include "zormonitor_host.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRequestFailed = 1;
constexpr int kExitUsage = 2;

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

/// The folder of the running executable, through /proc/self/exe, so that
/// the module beside zorhost is found whatever the working directory.
std::string executableFolder()
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
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

/// Keeps the host log stream pointed at a file for the life of main, and
/// hands it back to standard error before the file closes.
class LogRedirect {
public:
    ~LogRedirect()
    {
        if (_file.is_open()) {
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

private:
    std::filebuf _file;
    std::streambuf* _previous = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app{"Stand-in host of the monitor module: loads the module, opens one session, sends requests\n"
                 "and prints every reply.\n"
                 "  zorhost [OPTIONS] OP KEY [VALUE]\n"
                 "  zorhost [OPTIONS] --script FILE        (FILE '-' reads standard input)",
                 "zorhost"};
    app.footer("OP is get, set, add, del or commit; OP:ID (e.g. get:15) calls that entry point with key id ID\n"
               "without routing. commit without KEY uses " +
               std::string(kDefaultCommitKey) +
               ".\n"
               "Script lines: OP KEY [VALUE] separated by single blanks, VALUE the rest of the line;\n"
               "blank lines and lines starting with '#' are skipped.\n"
               "Exit status: 0 every request returned 0 or more; 1 a request returned a negative result\n"
               "or raised an exception; 2 usage error, module not loadable, or session not opened.");

    app.add_option("--root", o.root,
                   "Resolve the module's fixed absolute paths (/etc/configs/monitor/, /var/log/monitor/, "
                   "hardware status files) under DIR; sets ZOR_ROOT for the module. Default: / (no prefix), "
                   "or ZOR_ROOT when it is already set")
        ->type_name("DIR");
    app.add_option("--module", o.module, "The module library to load. Default: libmonitor.so beside zorhost")
        ->type_name("PATH");
    app.add_flag("--json", o.json, "Print one JSON object per request on standard output");
    app.add_option("--log", o.log, "Append the host log stream to FILE. Default: standard error")
        ->type_name("FILE");
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
    CLI::Option* script =
        app.add_option("--script", o.script, "Read requests from FILE, one per line; '-' reads standard input")
            ->type_name("FILE");
    CLI::Option* op = app.add_option("OP", o.op, "get, set, add, del or commit, or OP:ID");
    app.add_option("KEY", o.key, "Key path of the request");
    app.add_option("VALUE", o.value, "Value text of the request");
    script->excludes(op);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }

    std::vector<HostRequest> requests;
    std::string error;
    if (!o.script.empty()) {
        std::string text;
        if (!readScript(o.script, &text, &error) || !parseScript(text, &requests, &error)) {
            return usageError(error);
        }
    } else if (!o.op.empty()) {
        HostRequest request;
        if (!makeRequest(o.op, o.key, o.value, &request, &error)) {
            return usageError(error);
        }
        requests.push_back(std::move(request));
    } else {
        return usageError("nothing to do: give OP KEY [VALUE] or --script FILE");
    }

    if (!o.root.empty()) {
        std::error_code ec;
        if (!fs::is_directory(o.root, ec)) {
            return usageError("--root " + o.root + " is not a directory");
        }
        // Absolute, so that replies quoting a path quote the one really used.
        setenv("ZOR_ROOT", fs::absolute(o.root).lexically_normal().string().c_str(), 1);
    }
    LogRedirect logRedirect;
    if (!o.log.empty() && !logRedirect.open(o.log)) {
        return usageError("cannot open log file " + o.log);
    }
    zormonitor::setMonitorInterval(o.interval);
    if (!zormonitor::setUdpTarget(o.udp, &error)) {
        return usageError("--udp: " + error);
    }

    std::string modulePath = o.module.empty() ? executableFolder() + "/libmonitor.so" : o.module;
    // Kept for the life of the process, as the appliance's host keeps it: the
    // module's static state (configuration store, key table) is torn down
    // only at exit.
    ModuleLibrary module;
    if (!module.load(modulePath, &error)) {
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
    std::optional<int> opened = session.open(&thrown);
    if (!opened || *opened != 0) {
        std::cerr << "zorhost: OpenSession failed: ";
        if (opened) {
            std::cerr << "result " << *opened << '\n';
        } else {
            std::cerr << "exception " << thrown->type << (thrown->message ? ": " + *thrown->message : "") << '\n';
        }
        return kExitUsage;
    }

    int status = kExitOk;
    for (const HostRequest& request : requests) {
        RequestOutcome outcome = session.run(request);
        if (o.json) {
            std::cout << jsonLine(request, outcome) << std::endl;
        } else {
            printPlain(outcome, std::cout, std::cerr);
        }
        if (outcome.exception || !outcome.result || *outcome.result < 0) {
            status = kExitRequestFailed;
        }
    }
    session.close();
    return status;
}
