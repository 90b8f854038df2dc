// The alerts and silences as JSON, in one shape for every reader: the
// session socket's commands, the console's API and pages.
#pragma once

#include "alertbook.h"

#include <string>
#include <vector>

namespace zormon {

/// {"alerts":[{name, variable, condition, state, since, lastSent, resolvedAt,
/// value, message, notifications, suppressed, flapping, acknowledgedBy,
/// silencedBy}]}; times in Unix seconds, 0 for none; "" for no one.
std::string alertsJson(const std::vector<AlertView>& alerts);
/// {"silences":[{id, matcher, variable, condition, starts, ends, comment, author}]}
std::string silencesJson(const std::vector<Silence>& silences);
/// {"silence":{...}}
std::string silenceJson(const Silence& silence);

} // namespace zormon
