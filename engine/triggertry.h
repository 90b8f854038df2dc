// Trying a trigger before enabling it: the trigger is played over stored
// samples of its variable with the monitor thread's own evaluator, and each
// sample says whether the trigger would have fired and whether its action's
// repeat limit would have held the action back.
#pragma once

#include "monitorlogs.h"

#include <ostream>
#include <string>
#include <vector>

class ActionTrigger;

namespace zormon {

struct TryPoint {
    LogPoint sample;
    bool holds = false;      ///< the condition held (value-changes: the value changed)
    bool fired = false;      ///< the trigger fired and its action would have run
    bool suppressed = false; ///< the trigger fired but the repeat limit held it back
    std::string message;     ///< the alert message of a firing
};

struct TryResult {
    std::vector<TryPoint> points;
    unsigned long fired = 0, suppressed = 0;
};

/// Plays trigger over samples (in time order) with the monitoring interval
/// of the thread (the average, minimum and maximum window).
TryResult tryTrigger(const std::string& variable, const ActionTrigger& trigger, const std::vector<LogPoint>& samples,
                     long interval);

/// A command's whole try: the trigger text (an action-trigger, or a preset
/// as the preset key answers it) played over the samples of variable in
/// the day's log (dYYYYMMDD) of logFolder. Prints one line per firing,
/// "TIME acts MESSAGE" or "TIME held MESSAGE", then a summary line.
/// Returns 0, or 2 with the reason on err (bad trigger text, no such log).
int runTry(const std::string& variable, const std::string& day, const std::string& triggerText,
           const std::string& logFolder, long interval, std::ostream& out, std::ostream& err);

} // namespace zormon
