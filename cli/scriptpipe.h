// zorhost --connect with a script: the requests go to zorhostd ahead of
// their replies, a bounded window at a time, and the replies are printed in
// order as they come, exactly as the same script prints in process. The
// daemon's script mode keeps the stop at the first failure exact: requests
// already on their way after it are answered "skipped" and never run.
// Standard input ("--script -") is read and sent line by line, so a reply
// is printed as soon as it arrives, before the next line is written.
#pragma once

#include "remotesession.h"
#include "request.h"
#include "scriptrun.h"

#include <ostream>
#include <string>
#include <vector>

/// Requests in flight at most: a window of requests and of their bytes.
constexpr size_t kPipelineRequests = 64;
constexpr size_t kPipelineBytes = size_t(1) << 20;

/// The requests of a script read before (fd < 0), or those of the script
/// on fd, read as it comes.
struct ScriptSource {
    std::vector<HostRequest> requests;
    int fd = -1;
};

/// Runs the script in remote; returns the exit status runRequests would,
/// or kExitUsage for a line of a streamed script that does not read.
int runPipelined(RemoteSession& remote, ScriptSource source, const ScriptRunOptions& options, std::ostream& out,
                 std::ostream& err);
