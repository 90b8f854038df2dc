#include "options.h"

#include "hostversion.h"
#include "request.h"

#include "zormonitor_host.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace zorhost {

namespace {

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

} // namespace

zor::Expected<CommandLine> parseCommandLine(int argc, char** argv)
{
    CommandLine line;
    Options& o = line.options;
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
        line.exitNow = app.exit(e);
        return line;
    } catch (const CLI::CallForAllHelp& e) {
        line.exitNow = app.exit(e);
        return line;
    } catch (const CLI::CallForVersion& e) {
        line.exitNow = app.exit(e);
        return line;
    } catch (const CLI::ParseError& e) {
        return zor::Error{e.what()};
    }
    // "--connect get KEY": the option's optional SOCK took the OP. A socket
    // path always holds a '/', so a word without one moves back in front.
    if (o.connect && !o.connect->empty() && o.connect->find('/') == std::string::npos) {
        if (o.value) {
            return zor::Error{"--connect " + *o.connect + ": SOCK must be a path holding a '/'"};
        }
        o.value = o.key;
        o.key = o.op.empty() ? std::nullopt : std::optional<std::string>(o.op);
        o.op = *o.connect;
        o.connect = std::string();
    }

    if (!o.root.empty()) {
        std::error_code ec;
        if (!fs::is_directory(o.root, ec)) {
            return zor::Error{"--root " + o.root + " is not a directory"};
        }
        // Absolute, so that replies quoting a path quote the one really used.
        setenv("ZOR_ROOT", fs::absolute(o.root).lexically_normal().string().c_str(), 1);
    }

    return line;
}

} // namespace zorhost
