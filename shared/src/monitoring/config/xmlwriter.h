// The direct writer: the bytes of replies and saved files, appended to a
// string without building a document tree. It produces exactly what the
// printer makes of the document that the DOM writer of the tests builds,
// which tests and the XML fuzzer check on every document they see.
#pragma once

#include "monitoring.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace xmlwriter {

/// One monitor-entry element. lines selects the saved file's layout (the
/// printer's line breaks); without it, the reply form on one line.
void appendEntry(std::string& out, const MonitorEntry& entry, bool lines);
/// One action-trigger element; throws "NULL Trigger specified" for null.
void appendTrigger(std::string& out, const ActionTrigger* trigger, bool lines);
/// What the document writer gathers before it hands a part on.
constexpr std::size_t kFlushBytes = 1024 * 1024;

/// A whole saved configuration (declaration, monitor-config and the
/// entries), handed to flush in parts of about kFlushBytes, in order.
void writeDocument(const std::vector<MonitorEntry>& entries, const std::function<void(std::string&)>& flush);
/// The same as one string.
std::string document(const std::vector<MonitorEntry>& entries);

} // namespace xmlwriter
