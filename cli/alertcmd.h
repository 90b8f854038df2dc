// zorhost's alert commands: alerts, silence add|list|remove and ack, sent
// as daemon commands (protocol.h) to a running zorhostd, whose monitor
// thread keeps the alerts.
#pragma once

#include "options.h"

#include <iosfwd>
#include <string>

namespace zorhost {

/// Runs o.alertCommand. Returns the exit status: 0 done, 1 refused by the
/// daemon, 2 usage error or no daemon reached.
int runAlertCommand(const Options& o);

/// The alerts reply ({"alerts":[...]}) as the table zorhost prints, or
/// "no alerts"; times in local time.
std::string alertsTable(const std::string& replyLine);
/// The silences reply ({"silences":[...]}) as a table, or "no silences".
std::string silencesTable(const std::string& replyLine);

} // namespace zorhost
