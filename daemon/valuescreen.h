// What zorhostd checks before an XML text reaches the module. The module's
// XML error reporter is process-wide and, once it has seen an error, fails
// every later document of every session: one malformed request would stop
// all editing until a restart. The daemon therefore parses every entry and
// trigger text with its own copy of the same reader first and refuses a
// malformed one itself.
//
// Should a document fail in the module all the same, the daemon notices
// (the module answers "Parsing errors occurred"), says so in its log, on
// the console's Overview page and in /metrics, and from then on refuses
// sets and adds with a message that says what to do. It does not try to
// recover by itself: every session's uncommitted edits live in the stuck
// module's store, and commit and delete still work there, so committing and
// restarting loses nothing, while a second copy of the module would have to
// be handed every session's table, indexes and dirty state.
#pragma once

#include "hostsession.h"

#include <string>

namespace valuescreen {

/// Installs the check on every HostSession of this process.
void install(std::function<void(const std::string&)> log);

/// Empty while the module's parser accepts documents; otherwise when and
/// after which request it stopped.
std::string moduleParserProblem();

/// The refusal of a request whose XML text is malformed, or empty. Only
/// sets and adds of entries and triggers carry a document.
std::string malformedValue(const HostRequest& request, int keyId);

} // namespace valuescreen
