// The reference rendering and reading of configuration documents, through a
// document tree: the DOM writer with the printer, and the DOM reader. The
// module writes and reads with the direct writer and the SAX2 reader; tests
// and the XML fuzzer check that both give the same bytes and the same
// entries for every document they see.
#pragma once

#include "monitoring.h"

#include <memory>
#include <string>
#include <vector>

namespace configoracle {

/// One monitor-entry as the printer prints its document (reply form).
std::string generate(const MonitorEntry& entry);
/// One action-trigger as the printer prints its document (reply form);
/// throws "NULL Trigger specified" for null.
std::string generate(const ActionTrigger* trigger);
/// The saved form of a whole configuration as the printer prints it.
std::string document(const std::vector<MonitorEntry>& entries);

/// The entries of a whole configuration document, read from its DOM.
std::vector<MonitorEntry> load(const std::string& document);
/// The entry of a monitor-entry document, read from its DOM.
MonitorEntry parseMonitorEntry(const std::string& input);
/// The trigger of an action-trigger document, read from its DOM.
std::unique_ptr<ActionTrigger> parseActionTrigger(const std::string& input);

} // namespace configoracle
