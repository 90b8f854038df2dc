// zorhost's command line, read into one set of options.
#pragma once

#include "zorexpected.h"
#include "zormonitor_host.h"

#include <optional>
#include <string>
#include <vector>

namespace zorhost {

/// Commands that are not a request: they read or check the whole configuration.
constexpr const char* kShow = "show";
constexpr const char* kDiff = "diff";
constexpr const char* kValidate = "validate";
constexpr const char* kTry = "try";

/// The alert commands, answered by a running zorhostd's monitor thread.
enum class AlertCommand { none, alerts, silenceAdd, silenceList, silenceRemove, ack };

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
    AlertCommand alertCommand = AlertCommand::none;
    std::vector<std::string> words; ///< silence add, ack: the matcher's words; silence remove: the id
    std::string duration;           ///< silence add --for
    std::string comment;            ///< silence add --comment
};

/// What the command line asks for: options to run, or an exit status when
/// it already said everything (--help, --version).
struct CommandLine {
    std::optional<int> exitNow;
    Options options;
};

/// Reads the command line; the error is a usage error's text. Sets ZOR_ROOT
/// when --root is given, so that default paths resolve under it.
zor::Expected<CommandLine> parseCommandLine(int argc, char** argv);

} // namespace zorhost
