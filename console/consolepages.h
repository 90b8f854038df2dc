// The console's pages: server-rendered HTML, every text from the
// configuration or a log escaped, every form carrying the session's token.
#pragma once

#include "audittrail.h"
#include "configtext.h"
#include "entrytable.h"
#include "hostsession.h"
#include "zorexpected.h"

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zormon {
class MonitorThread;
}

namespace console {

/// A browser session: a module session of its own, opened by its first
/// request that needs the module (a login alone costs only these fields).
struct WebSession {
    std::string id, csrf, user;
    std::string peer; ///< the client's address at login, for the audit trail
    std::unique_ptr<HostSession> host; ///< null until then; used under the module mutex only
    std::time_t lastUse = 0;
    SharedTable committed; ///< the table as last committed, for diff; null until the module is opened
    std::string flash;                  ///< the module's answer to the last form, shown once
    unsigned edits = 0;                 ///< edits sent since the store last matched the file
    bool closed = false;
};

/// The table a session's diffs start from; empty while it has none.
inline const std::vector<std::string>& committedOf(const WebSession& s)
{
    static const std::vector<std::string> kNone;
    return s.committed ? *s.committed : kNone;
}

/// What the pages need of the server: the session's module requests and
/// the monitor thread.
class PageContext {
public:
    virtual ~PageContext() = default;
    virtual RequestOutcome run(WebSession& s, const std::string& op, const std::string& key,
                               const std::optional<std::string>& value) = 0;
    /// The session's table of entries (its XML texts), or why it cannot be read.
    virtual zor::Expected<std::vector<std::string>> table(WebSession& s) = 0;
    /// Each preset's text and fields, in catalogue order.
    virtual std::vector<std::pair<std::string, PresetForm>> presets(WebSession& s) = 0;
    virtual std::string diffText(WebSession& s, bool asJson) = 0;
    virtual std::vector<std::string> validate(WebSession& s) = 0;
    virtual RequestOutcome commit(WebSession& s) = 0;
    virtual zormon::MonitorThread& monitor() = 0;
    virtual const std::string& logFolder() = 0;
    virtual long interval() = 0;

    /// One page of the session's table; by default cut from table().
    virtual zor::Expected<EntrySlice> entries(WebSession& s, const EntryQuery& query);
    /// Brings the committed file back into the shared store (every
    /// session's uncommitted edits go); by default not offered.
    virtual RequestOutcome discard(WebSession& s);
    /// Who holds uncommitted edits, as far as the console can tell.
    virtual EditsSummary edits(WebSession& s);
};

using Params = std::function<std::string(const std::string&)>;

/// What an Entries form did: a sentence to show once on the page it
/// redirects to, or a page to show at once (the form again with its
/// problems at the fields, a question before a delete or a discard).
struct FormOutcome {
    std::string flash;
    std::string location = "/entries";
    std::string page;
    int status = 200;
};

std::string loginPage(const std::string& token, const std::string& message);
std::string errorPage(WebSession& s, const std::string& message);
/// The page of an error answer with no login at hand (an unknown path, a
/// wrong method, a refused or failed request).
std::string statusPage(int status, const std::string& message);
std::string overviewPage(PageContext& c, WebSession& s);
std::string entriesPage(PageContext& c, WebSession& s, const EntryQuery& query = EntryQuery());
/// One entry with the forms that change it and its triggers.
std::string entryPage(PageContext& c, WebSession& s, size_t index);
/// Runs the form's operation once its fields pass the checks.
FormOutcome entriesAction(PageContext& c, WebSession& s, const Params& p);
/// The day logs, or a day's lines containing filter, a page at a time
/// (offset and limit as the query gives them).
std::string logsPage(PageContext& c, WebSession& s, const std::string& name, const std::string& filter,
                     const std::string& offset = "", const std::string& limit = "");
/// A variable's graph: var, day, range (15m, 1h, 6h, day, week, custom),
/// from and to as the query gives them.
std::string graphPage(PageContext& c, WebSession& s, const Params& p);
std::string tryPage(PageContext& c, WebSession& s, const Params& p);
/// The firing and pending alerts, the silences in force and the last week's
/// alert and resolved lines, those a page at a time (offset and limit as
/// the query gives them).
std::string alertsPage(PageContext& c, WebSession& s, const std::string& offset = "", const std::string& limit = "");
/// Silences, acknowledges or removes a silence as the form asks, in the
/// session user's name; returns what to show on the next page.
std::string alertsAction(PageContext& c, WebSession& s, const Params& p);
const std::string& consoleScript();
/// What the session changed against the table it last committed: in words,
/// with the XML lines behind a toggle (pagediff.cpp); the Overview shows it too.
std::string diffSection(PageContext& c, WebSession& s);
std::string diffPage(PageContext& c, WebSession& s);
/// The commits of the audit logs, newest first, a page of them at a time.
std::string historyPage(WebSession& s, const std::string& folder, size_t offset, size_t limit);

} // namespace console
