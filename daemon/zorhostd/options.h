// zorhostd's command line, read into one configuration: the daemon's, the
// console's and the monitor thread's settings, with every path made
// absolute before a background start leaves the working folder.
#pragma once

#include "consoleserver.h"
#include "sessiondaemon.h"

#include "zorexpected.h"

#include <optional>
#include <string>

namespace zorhostd {

constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 2;

struct Config {
    std::string module;   ///< absolute path of the module library
    std::string log;      ///< absolute path of --log; empty: standard error
    std::string http;     ///< --http as given; empty: no console
    bool foreground = false;
    long interval = 60;
    int msgSize = 1024;
    std::string udp;
    int keepLogs = 90;
    double lockWait = 10;
    DaemonOptions daemon;
    console::ConsoleOptions console;
};

/// What the command line asks for: a configuration to run, or an exit status
/// when it already said everything (--help, --version).
struct CommandLine {
    std::optional<int> exitNow;
    Config config;
};

/// Reads the command line. The error is the text for standard error after
/// "zorhostd: " (usage errors, an unknown --group, a bad --http). Sets
/// ZOR_ROOT when --root is given, so that default paths resolve under it.
zor::Expected<CommandLine> parseCommandLine(int argc, char** argv);

} // namespace zorhostd
