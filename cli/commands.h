// zorhost's commands: what it does with its options once they are read.
// try and validate need neither the module nor a session; every other
// command sends requests through a session, loaded in process or served by
// a running zorhostd (--connect).
#pragma once

#include "options.h"
#include "request.h"

#include "zorexpected.h"

#include <vector>

namespace zorhost {

/// try: a trigger played over one logged day. Returns the exit status.
int runTryCommand(const Options& o);
/// validate: a configuration file checked. Returns the exit status.
int runValidateCommand(const Options& o);
/// The requests of the command line or of --script; a usage error's text
/// when they are not well formed (show has none).
zor::Expected<std::vector<HostRequest>> requestsOf(const Options& o);
/// Sends the requests (or show, diff) in a session of the module loaded in
/// process, or in one of a running zorhostd with --connect.
int runSessionCommand(const Options& o, const std::vector<HostRequest>& requests);

} // namespace zorhost
