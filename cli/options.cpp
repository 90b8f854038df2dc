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

/// The options every command shares, in app and into o.
void addSharedOptions(CLI::App& app, Options& o)
{
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
}

/// The module's own commands: OP KEY [VALUE] and the commands that read the
/// whole configuration.
void addRequestWords(CLI::App& app, Options& o)
{
    app.add_option("OP", o.op, "get, set, add, del or commit, or OP:ID; or show, diff, validate");
    app.add_option("KEY", o.key, "Key path of the request (validate: the file to check)");
    app.add_option("VALUE", o.value, "Value text of the request");
}

bool isAlertCommandWord(const std::string& word) { return word == "alerts" || word == "silence" || word == "ack"; }

/// Whether the command line's first word names an alert command. Read with
/// the shared options alone, forgiving everything else, so that the real
/// reading can take either form: alert commands have words of their own
/// (a matcher of any length, --for, --comment), and a word such as "ack"
/// later on the line (a file to validate, a variable to try) stays a word.
bool firstWordIsAlertCommand(int argc, char** argv)
{
    Options scratch;
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    addSharedOptions(app, scratch);
    addRequestWords(app, scratch);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Error&) {
        return false;
    }
    // "--connect alerts": the option's optional SOCK took the word.
    if (scratch.connect && !scratch.connect->empty() && scratch.connect->find('/') == std::string::npos) {
        return isAlertCommandWord(*scratch.connect);
    }
    return isAlertCommandWord(scratch.op);
}

/// alerts, silence add|list|remove, ack: answered by a running zorhostd.
struct AlertCommands {
    CLI::App* alerts = nullptr;
    CLI::App* add = nullptr;
    CLI::App* list = nullptr;
    CLI::App* remove = nullptr;
    CLI::App* ack = nullptr;
};

AlertCommands addAlertCommands(CLI::App& app, Options& o)
{
    AlertCommands c;
    const std::string needsDaemon = " Needs a running zorhostd: give --connect [SOCK] before the command.";
    c.alerts = app.add_subcommand("alerts", "The monitor thread's alerts, firing first: ALERT, STATE, SINCE (local "
                                            "time), VALUE, LAST SENT, NOTES (silenced, acknowledged, flapping)." +
                                                needsDaemon);
    c.alerts->add_flag("--json", o.json, "Print the daemon's JSON line: {\"alerts\":[...]}");

    CLI::App* silence = app.add_subcommand("silence", "Silences: alerts that are evaluated and logged but send "
                                                      "nothing until the silence ends." + needsDaemon);
    silence->require_subcommand(1);
    c.add = silence->add_subcommand("add", "Silence the alerts that MATCHER names for DURATION." + needsDaemon);
    c.add->add_option("MATCHER", o.words,
                      "VARIABLE (every alert of the variable) or VARIABLE CONDITION, e.g. root-free-space is below "
                      "500; the words are joined by blanks")
        ->required();
    c.add->add_option("--for", o.duration, "How long: a number and a unit s, m, h or d (30m, 2h, 1h30m, 1d)")
        ->type_name("DURATION")
        ->required();
    c.add->add_option("--comment", o.comment, "Why, for whoever sees the silence later")
        ->type_name("TEXT")
        ->required();
    c.list = silence->add_subcommand("list", "The silences in force: ID, MATCHER, UNTIL (local time), AUTHOR, "
                                             "COMMENT." + needsDaemon);
    c.list->add_flag("--json", o.json, "Print the daemon's JSON line: {\"silences\":[...]}");
    c.remove = silence->add_subcommand("remove", "End a silence now." + needsDaemon);
    c.remove->add_option("ID", o.words, "The silence's id, as silence list shows it (s1, s2, ...)")
        ->required()
        ->expected(1);

    c.ack = app.add_subcommand("ack", "Acknowledge a firing alert: its repeats stop until it resolves." +
                                          needsDaemon);
    c.ack->add_option("ALERT", o.words,
                      "VARIABLE (its one firing alert) or VARIABLE CONDITION; the words are joined by blanks")
        ->required();
    // Options given after the command (--connect, --root) are the host's;
    // the module's words in the main footer are not these commands' concern.
    for (CLI::App* sub : {c.alerts, silence, c.add, c.list, c.remove, c.ack}) {
        sub->fallthrough();
        sub->footer("Exit status: 0 done; 1 zorhostd refused the command (its reason on standard error); 2 usage\n"
                    "error, no --connect, or zorhostd not reached.");
    }
    return c;
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
                 "  zorhost [OPTIONS] try VARIABLE TRIGGER (when a trigger would have fired over a logged day)\n"
                 "  zorhost --connect [SOCK] alerts [--json]          (the monitor thread's alerts, firing first)\n"
                 "  zorhost --connect [SOCK] silence add MATCHER... --for DURATION --comment TEXT\n"
                 "  zorhost --connect [SOCK] silence list [--json] | silence remove ID\n"
                 "  zorhost --connect [SOCK] ack ALERT...             (an alert's repeats stop until it resolves)",
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
               "uncommitted.\n"
               "alerts, silence and ack are answered by a running zorhostd's monitor thread. Exit status:\n"
               "0 done; 1 zorhostd refused the command (its reason on standard error); 2 usage error, no\n"
               "--connect, or zorhostd not reached. Run zorhost COMMAND --help for each.");
    addSharedOptions(app, o);
    const bool alertCommand = firstWordIsAlertCommand(argc, argv);
    AlertCommands alerts;
    if (alertCommand) {
        alerts = addAlertCommands(app, o);
    } else {
        addRequestWords(app, o);
    }
    app.set_version_flag("--version", "zorhost " ZORHOST_VERSION);

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
    if (alertCommand) {
        o.alertCommand = alerts.alerts->parsed()   ? AlertCommand::alerts
                         : alerts.add->parsed()    ? AlertCommand::silenceAdd
                         : alerts.list->parsed()   ? AlertCommand::silenceList
                         : alerts.remove->parsed() ? AlertCommand::silenceRemove
                                                   : AlertCommand::ack;
    }
    // "--connect get KEY": the option's optional SOCK took the OP. A socket
    // path always holds a '/', so a word without one moves back in front.
    if (!alertCommand && o.connect && !o.connect->empty() && o.connect->find('/') == std::string::npos) {
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
