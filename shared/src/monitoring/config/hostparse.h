// Host-side reading and writing of single configuration texts (an entry, a
// trigger, a preset as the module hands them out) for programs that link
// their own copy of this library beside a monitor thread: the daemon's
// console, zorhost's try.
//
// Each read parses in an XML environment of its own, under hostParseMutex(),
// with the platform started for it: a malformed text is refused with the
// parser's reason and leaves nothing behind, neither in the process-wide
// environment (whose error flag stays as the module's rules keep it) nor for
// the next text. Nothing here throws; a refusal is the Expected's error.
#pragma once

#include "monitoring.h"
#include "zorexpected.h"

#include <memory>
#include <string>

namespace hostparse {

/// Whether the parser's diagnostics are also written to standard error (as
/// the process-wide environment writes them).
enum class Echo { quiet, standardError };

/// The trigger of an action-trigger text, or of the first action-trigger in
/// another text (a preset-variable, a monitor-entry). Refused when the text
/// does not parse or its trigger names no trigger kind.
zor::Expected<std::unique_ptr<ActionTrigger>> trigger(const std::string& text, Echo echo = Echo::quiet);

/// The entry of a monitor-entry text; refused when the text does not parse,
/// its root is no monitor-entry, or the model refuses what it holds.
zor::Expected<MonitorEntry> entry(const std::string& text, Echo echo = Echo::quiet);

/// A preset of the catalogue: a preset-variable element with its action-trigger child.
struct Preset {
    std::string name, variable, unit, description;
    std::unique_ptr<ActionTrigger> trigger;
};
/// Refused when the text does not parse, its root is no preset-variable, or
/// it holds no trigger with a trigger kind.
zor::Expected<Preset> preset(const std::string& text, Echo echo = Echo::quiet);

/// MonitoringConfiguration::generate under hostParseMutex() with the platform
/// started: the printer's state and the transcoder are shared in the process.
zor::Expected<std::string> text(const MonitorEntry& entry);
zor::Expected<std::string> text(const ActionTrigger& trigger);

} // namespace hostparse
