// zorhostd's parts wired together: the module loaded once, the socket
// server with its sessions, the editors' lock, the monitor thread answering
// the module's variable keys, and the web console; then served until a
// signal, and taken down in the reverse order.
#pragma once

#include "options.h"

namespace zorhostd {

/// Starts everything config asks for and serves until SIGTERM or SIGINT.
/// Returns the exit status; a start that failed is reported on standard
/// error (and in the log, and to the starting process in the background).
int runService(const Config& config);

} // namespace zorhostd
