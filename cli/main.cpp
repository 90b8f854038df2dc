// zorhost: a small real host for the monitor module. It loads the module
// with dlopen, opens one session, sends the requests of its command line or
// of a script, prints every reply and closes the session.
#include "alertcmd.h"
#include "commands.h"
#include "options.h"
#include "scriptrun.h"

#include <iostream>

int main(int argc, char** argv)
{
    using namespace zorhost;
    zor::Expected<CommandLine> line = parseCommandLine(argc, argv);
    if (!line) {
        std::cerr << "zorhost: " << line.error() << "\nRun with --help for more information.\n";
        return kExitUsage;
    }
    if (line->exitNow) {
        return *line->exitNow;
    }
    const Options& o = line->options;
    if (o.alertCommand != AlertCommand::none) {
        return runAlertCommand(o);
    }
    if (o.op == kTry) {
        return runTryCommand(o);
    }
    if (o.op == kValidate) {
        return runValidateCommand(o);
    }
    zor::Expected<std::vector<HostRequest>> requests = requestsOf(o);
    if (!requests) {
        std::cerr << "zorhost: " << requests.error() << "\nRun with --help for more information.\n";
        return kExitUsage;
    }
    return runSessionCommand(o, *requests);
}
