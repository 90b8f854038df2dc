// zorhost's alert commands: alerts, silence add|list|remove and ack, sent
// as daemon commands (protocol.h) to a running zorhostd, whose monitor
// thread keeps the alerts.
#pragma once

#include "options.h"

namespace zorhost {

/// Runs o.alertCommand. Returns the exit status: 0 done, 1 refused by the
/// daemon, 2 usage error or no daemon reached.
int runAlertCommand(const Options& o);

} // namespace zorhost
