// The daemon commands of the session socket (protocol.h) answered from the
// monitor thread: the alerts, the silences and acknowledgements.
#pragma once

#include "monitorthread.h"

#include <string>

namespace zorhostd {

/// The reply line (without its line feed) to one daemon command line, a
/// JSON object {"command":NAME,...}; user is the author of what it adds.
/// Safe to call from several session threads at once.
std::string answerAlertCommand(zormon::MonitorThread& thread, const std::string& line, const std::string& user);

} // namespace zorhostd
