// The table of entries as the Entries page and /api/entries show it: one
// page of it at a time, optionally only the entries of a variable or of an
// action kind, and the requests that bring the configuration store back to
// the committed file.
#pragma once

#include "configtext.h"

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace console {

/// What a page of the table asks for (?offset=M&limit=N&q=&action=).
struct EntryQuery {
    static constexpr size_t kDefaultLimit = 50;
    static constexpr size_t kMostLimit = 500;
    size_t offset = 0;
    size_t limit = kDefaultLimit;
    std::string q;      ///< part of the variable's name, any case
    std::string action; ///< email, log, udp, trap, shutdown or power-off-drive
    bool filtered() const { return !q.empty() || !action.empty(); }
};

/// The query of a request's parameters; an unknown action kind or a limit
/// out of range are taken as the nearest sensible value, never refused.
EntryQuery entryQuery(const std::function<std::string(const std::string&)>& param);

/// The action kinds a filter may name.
const std::vector<std::string>& actionKinds();

struct EntryRow {
    size_t index = 0;  ///< the entry's place in the whole table
    std::string xml;
    EntryForm form;
    bool readable = false;
};

/// One page of the entries that match: total counts every match.
struct EntrySlice {
    size_t total = 0;
    std::vector<EntryRow> rows;
};

bool matches(const EntryForm& entry, const EntryQuery& query);
/// A look at an entry's text, before it is parsed: false only when the
/// entry cannot match the query (its variable attribute, decoded, does not
/// hold the text; no element of the action kind is named in it). Anything
/// it cannot judge for sure (a document type, characters beyond ASCII in
/// the variable, an odd start tag) counts as a candidate, to be parsed.
bool mayMatch(const std::string& xml, const EntryQuery& query);
/// The page of the whole table that the query asks for.
EntrySlice sliceOf(const std::vector<std::string>& table, const EntryQuery& query);
/// The same one entry at a time, in table order, for a reader that does not
/// hold the whole table: the entry at index counts when it matches, and is
/// kept when it falls on the page.
void addToSlice(EntrySlice& slice, size_t index, const std::string& xml, const EntryQuery& query);

/// Who holds edits the committed file does not have: this console's logins
/// by user, and how many socket sessions are open (their edits cannot be
/// told apart from here).
struct EditsSummary {
    std::vector<std::pair<std::string, unsigned>> users;
    unsigned socketSessions = 0;
};

/// One request of a revert: set the entry at index to xml, delete the
/// entry at index, or add xml at the end.
struct StoreStep {
    enum class Op { set, del, add } op = Op::set;
    size_t index = 0;
    std::string xml;
};

/// The fewest simple requests (within reason) that turn store into
/// committed: the entries both share at the front and at the back stay,
/// the ones between are set in place, the surplus deleted or the rest added
/// at the end (the module only appends).
std::vector<StoreStep> revertSteps(const std::vector<std::string>& store, const std::vector<std::string>& committed);

/// How many entries differ between the two tables (changed, added or gone).
size_t differingEntries(const std::vector<std::string>& store, const std::vector<std::string>& committed);

} // namespace console
