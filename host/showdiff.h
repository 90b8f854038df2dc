// `zorhost show` and `zorhost diff`: the whole configuration as the module
// holds it, read through the count and entry keys, and what a session
// changed in it.
#pragma once

#include "hostsession.h"
#include "request.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

/// Sends one request to a session, wherever that session runs.
using RequestRunner = std::function<RequestOutcome(const HostRequest&)>;

/// The requests that read the whole configuration: the count, then one get
/// per entry.
HostRequest entryCountRequest();
HostRequest entryRequest(size_t index);

/// Reads every entry's XML text, in table order. Returns false and says
/// which request failed in *error.
bool readEntries(const RequestRunner& run, std::vector<std::string>* entries, std::string* error);

/// Plain form of show: one line per entry, its index, a blank, its XML text.
void printEntries(const std::vector<std::string>& entries, std::ostream& out);

/// One entry that differs between two tables: was is its index in the
/// first (for a changed or removed one), index its index in the second
/// (for a changed or added one).
struct EntryChange {
    enum Kind { changed, removed, added } kind;
    size_t was = 0, index = 0;
};

/// What turned `before` into `after`, entry by entry in table order: each
/// run of removals and additions between kept entries is one hunk, whose
/// removals and additions pair up, in order, as changed entries.
std::vector<EntryChange> diffEntries(const std::vector<std::string>& before, const std::vector<std::string>& after);

/// The changes in words, one line each (the console's wording of entries
/// and triggers; host code cannot know it, so the caller passes it in).
using DiffWords =
    std::function<std::vector<std::string>(const std::vector<std::string>& before, const std::vector<std::string>& after)>;

/// What turned `before` (the committed file) into `after` (the session's
/// table): with words, first the changes in words, one line each; then
/// entry by entry "- INDEX XML" for an entry of the file that is gone,
/// "+ INDEX XML" for one that is new, both in turn for a changed one; each
/// side's indexes are its own. Ends with a summary line. With json, one line
/// {"diff":{"changed":[...],"removed":[...],"added":[...]}}, and with words
/// a "words" list in the diff object as well.
void printDiff(const std::vector<std::string>& before, const std::vector<std::string>& after, bool json,
               std::ostream& out, const DiffWords& words = nullptr);

/// zorhost show: reads every entry and prints it (plain: printEntries;
/// json: the JSON line of each request made). Returns the exit status.
int showConfiguration(const RequestRunner& run, bool json, std::ostream& out, std::ostream& err);

/// zorhost diff within one session: the table as the session opened it is
/// the committed file (the editing lock keeps other editors out), and after
/// each successful commit the table is what the file now holds.
class SessionDiff {
public:
    SessionDiff(RequestRunner run, bool json, std::ostream& out, std::ostream& err, DiffWords words = nullptr);
    /// Prints what the session changed against the committed table.
    void print();
    /// Takes the table as now committed.
    void committed();

private:
    bool read(std::vector<std::string>* entries);

    RequestRunner _run;
    bool _json;
    DiffWords _words;
    std::ostream& _out;
    std::ostream& _err;
    std::vector<std::string> _committed;
    bool _ready = false;
};
