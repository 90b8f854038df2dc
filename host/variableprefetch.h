// Reading a variable before a request reaches the module. A get of the
// variable key makes the module ask the monitor thread for a value, which
// may run a program for its whole timeout; a host that serves many sessions
// under one lock reads the value first, outside the lock, and the module's
// call then answers from it at once with its reply formed as always.
#pragma once

#include "request.h"
#include "zormonitor_host.h"

#include <memory>

/// The value the request will need, read now; null when the request is not
/// a get of the variable key. Keep it alive across the session's run().
std::unique_ptr<zormonitor::PrefetchedValue> prefetchVariable(const HostRequest& request);
