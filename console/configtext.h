// The monitoring configuration texts that the console reads from the
// module's replies and writes into its requests: one monitor entry or one
// action trigger, as plain fields that forms fill in and pages describe.
//
// The texts are read and written by the configuration library (hostparse.h):
// each read parses in an XML environment of its own, so a malformed text is
// refused alone and leaves the process-wide parser state, which the monitor
// thread's loads and the value check share, as it was.
#pragma once

#include "triggertry.h"

#include <string>
#include <vector>

class ActionTrigger;

namespace console {

using zormon::LogAlert;
using zormon::LogPoint;
using zormon::TryPoint;
using zormon::TryResult;
using zormon::alertsOf;
using zormon::listLogs;
using zormon::parseClock;
using zormon::readLog;
using zormon::sampledNames;
using zormon::samplesOf;
using zormon::validLogName;

struct TriggerForm {
    std::string kind = "single-value"; ///< single-value, interval-value or value-changes
    std::string valueType = "instantaneous";
    bool permanent = false;
    std::string comparison = "greater-than";
    std::string value;
    std::string lowValue;
    std::string highValue;
    std::string range = "inside";
    long maxFrequency = 0;
    std::vector<std::string> emails;
    bool log = false, udp = false, trap = false, shutdown = false, powerOffDrive = false;
};

struct EntryForm {
    std::string variable;
    bool log = false;
    std::string schedule = "seconds"; ///< seconds, asynchronous, daily, weekly or none
    long seconds = 60;
    long every = 1;
    std::string dayOfWeek = "mon";
    int hour = 0, minute = 0;
    std::vector<TriggerForm> triggers;
};

/// A preset of the catalogue as the module hands it out.
struct PresetForm {
    std::string name, variable, unit, description;
    TriggerForm trigger;
};

/// Text with &, <, >, " and ' replaced by their character references, for
/// attribute values, element text and HTML alike.
std::string escapeXml(const std::string& text);

/// Readers of the module's texts; false when the text is not of that kind.
bool readTrigger(const std::string& xml, TriggerForm* out);
bool readEntry(const std::string& xml, EntryForm* out);
bool readPreset(const std::string& xml, PresetForm* out);

/// The request texts, every value escaped.
std::string triggerXml(const TriggerForm& trigger);
std::string entryXml(const EntryForm& entry);

/// "average above 8; e-mail a@b, trap; at most once in 1800 s".
std::string describeTrigger(const TriggerForm& trigger);
/// "every 60 s", "daily at 03:15", "every 2 weeks on mon at 06:05", ...
std::string describeSchedule(const EntryForm& entry);

/// The trigger as an object of the configuration model (owned by the caller).
ActionTrigger* makeModelTrigger(const TriggerForm& trigger);

/// The form's trigger played over samples (see zormon::tryTrigger).
TryResult tryTrigger(const std::string& variable, const TriggerForm& trigger, const std::vector<LogPoint>& samples,
                     long interval);

} // namespace console
