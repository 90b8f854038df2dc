// What the console holds between requests: its browser sessions (logins),
// each with a module session opened at its first use, and the way every
// request reaches the module (under the daemon's module mutex, with the
// keys and XML texts a management client sends). The routes and pages use
// it; the server around it only adds the HTTP endpoint and the thread that
// closes idle logins.
#pragma once

#include "consoleauth.h"
#include "consolepages.h"
#include "consoleserver.h"
#include "configvalidator.h"
#include "fairmutex.h"
#include "httpmessage.h"
#include "modulelibrary.h"
#include "zorexpected.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zormon {
class MonitorThread;
}

namespace console {

/// The prefix of every key of the monitor module.
extern const std::string kMonitorKeys;
/// The cookie that carries a login's id.
extern const char* const kSessionCookie;
/// The cookie that carries the login form's token.
extern const char* const kLoginCookie;

class ConsoleCore : public PageContext {
public:
    ConsoleCore(const ModuleLibrary& module, FairMutex& moduleMutex, zormon::MonitorThread& thread,
                std::function<unsigned()> socketSessions, ConsoleOptions options);
    ~ConsoleCore() override;
    ConsoleCore(const ConsoleCore&) = delete;
    ConsoleCore& operator=(const ConsoleCore&) = delete;

    const ConsoleOptions& options() const { return _options; }
    bool tls() const { return !_options.tlsCert.empty(); }
    LoginLimiter& limiter() { return _limiter; }

    // --- logins -------------------------------------------------------------

    /// A new login for user. A login costs a few hundred bytes until its
    /// first request opens its module session; a user, and all users
    /// together, may hold only so many: when refused, *refusedStatus is the
    /// HTTP status to answer with (429 or 503).
    zor::Expected<std::shared_ptr<WebSession>> login(const std::string& user, int* refusedStatus);
    /// The login whose id the request's cookie carries (and marks it used);
    /// null when there is none.
    std::shared_ptr<WebSession> current(const HttpRequest& request);
    /// Ends a login and its module session.
    void close(const std::shared_ptr<WebSession>& session);
    /// Ends every login.
    void closeAll();
    size_t openLogins();
    /// Logins whose module session is open.
    unsigned moduleSessions() const { return _moduleSessions; }
    /// Module sessions of the daemon's socket.
    unsigned socketSessions() const { return _socketSessions(); }

    /// Closes logins idle for longer than the options allow, on a thread of
    /// its own, until stopReaper().
    void startReaper();
    void stopReaper();

    /// A cookie of this console's kind: HttpOnly, SameSite, Secure under TLS;
    /// maxAge < 0 makes it last as long as the browser session.
    void setCookie(HttpResponse& response, const std::string& name, const std::string& value, long maxAge) const;

    // --- the module (PageContext) ------------------------------------------

    RequestOutcome run(WebSession& s, const std::string& op, const std::string& key,
                       const std::optional<std::string>& value) override;
    zor::Expected<std::vector<std::string>> table(WebSession& s) override;
    /// A filtered page of the table, read entry by entry without a copy of it.
    zor::Expected<EntrySlice> searched(WebSession& s, const EntryQuery& query);
    std::vector<std::pair<std::string, PresetForm>> presets(WebSession& s) override;
    std::string diffText(WebSession& s, bool asJson) override;
    std::vector<std::string> validate(WebSession& s) override;
    RequestOutcome commit(WebSession& s) override;
    zormon::MonitorThread& monitor() override { return _thread; }
    const std::string& logFolder() override { return _options.logFolder; }
    long interval() override { return _options.interval; }
    zor::Expected<EntrySlice> entries(WebSession& s, const EntryQuery& query) override;
    RequestOutcome discard(WebSession& s) override;
    EditsSummary edits(WebSession& s) override;

    /// The problems of the session's table, each with its entry's index, as
    /// `zorhost validate` finds them in a configuration file of that table.
    std::vector<std::pair<size_t, monvalidate::Problem>> tableProblems(WebSession& s);
    /// The entries of the committed configuration file, as the module
    /// writes their texts.
    zor::Expected<std::vector<std::string>> committedTable();

private:
    /// Opens the login's module session on its first use, and takes the
    /// table it sees then as the one its diffs start from. Under the
    /// module mutex.
    zor::Expected<void> openHost(WebSession& s);
    RequestOutcome runOpened(WebSession& s, const HostRequest& request);
    /// After an edit the module took: counted for the login.
    void countEdit(WebSession& s, const HostRequest& request, const RequestOutcome& outcome);
    /// The table as a login keeps it: the audit trail's own copy when it
    /// holds the same entries, so that logins of a large table do not each
    /// keep one.
    SharedTable share(std::vector<std::string> table) const;
    /// The store matches the committed file again: no login holds edits.
    void clearEdits();
    void reapIdle();

    const ModuleLibrary& _module;
    FairMutex& _moduleMutex;
    zormon::MonitorThread& _thread;
    std::function<unsigned()> _socketSessions;
    ConsoleOptions _options;
    LoginLimiter _limiter;

    std::mutex _sessionsMutex; ///< taken alone, or inside the module mutex
    std::map<std::string, std::shared_ptr<WebSession>> _sessions;
    std::atomic<unsigned> _moduleSessions{0};

    std::mutex _reaperMutex;
    std::condition_variable _reaperWake;
    bool _stopping = false;
    std::thread _reaper;
};

} // namespace console
