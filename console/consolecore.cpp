#include "consolecore.h"
#include "monitorkeys.h"

#include "configtext.h"
#include "diffwords.h"
#include "variableprefetch.h"

#include "audittrail.h"

#include "configvalidator.h"
#include "hostsession.h"
#include "monitorthread.h"
#include "request.h"
#include "showdiff.h"

#include <cstdlib>
#include <sstream>

namespace console {

const std::string kMonitorKeys = monitorkeys::kRoot;
const char* const kSessionCookie = "zorconsole";
const char* const kLoginCookie = "zorconsole_login";

ConsoleCore::ConsoleCore(const ModuleLibrary& module, FairMutex& moduleMutex, zormon::MonitorThread& thread,
                         std::function<unsigned()> socketSessions, ConsoleOptions options)
    : _module(module), _moduleMutex(moduleMutex), _thread(thread), _socketSessions(std::move(socketSessions)),
      _options(std::move(options)),
      _limiter(_options.loginLimit, std::chrono::seconds(_options.loginWindowSeconds))
{
}

ConsoleCore::~ConsoleCore()
{
    stopReaper();
    closeAll();
}

// --- logins -----------------------------------------------------------------

zor::Expected<std::shared_ptr<WebSession>> ConsoleCore::login(const std::string& user, int* refusedStatus)
{
    auto s = std::make_shared<WebSession>();
    s->id = randomToken();
    s->csrf = randomToken();
    s->user = user;
    s->lastUse = std::time(nullptr);
    std::lock_guard<std::mutex> lock(_sessionsMutex);
    unsigned mine = 0;
    for (const auto& [id, other] : _sessions) {
        mine += other->user == user ? 1 : 0;
    }
    if (mine >= _options.loginsPerUser) {
        *refusedStatus = 429;
        return zor::Error{"too many logins for this user: " + std::to_string(mine) +
                          " are open, the most one user may have; log out of one first"};
    }
    if (_sessions.size() >= _options.loginsInAll) {
        *refusedStatus = 503;
        return zor::Error{"the console has " + std::to_string(_sessions.size()) +
                          " logins open, the most it serves; try again when one has logged out"};
    }
    _sessions[s->id] = s;
    return s;
}

std::shared_ptr<WebSession> ConsoleCore::current(const HttpRequest& request)
{
    std::string id = request.cookie(kSessionCookie);
    std::lock_guard<std::mutex> lock(_sessionsMutex);
    auto it = _sessions.find(id);
    if (id.empty() || it == _sessions.end()) {
        return nullptr;
    }
    it->second->lastUse = std::time(nullptr);
    return it->second;
}

void ConsoleCore::close(const std::shared_ptr<WebSession>& s)
{
    {
        std::lock_guard<std::mutex> lock(_sessionsMutex);
        _sessions.erase(s->id);
    }
    std::lock_guard<FairMutex> lock(_moduleMutex);
    if (!s->closed) {
        s->closed = true;
        if (s->host) {
            s->host->close();
            s->host.reset();
            --_moduleSessions;
        }
        s->committed.reset();
    }
}

void ConsoleCore::closeAll()
{
    std::vector<std::shared_ptr<WebSession>> all;
    {
        std::lock_guard<std::mutex> lock(_sessionsMutex);
        for (auto& [id, s] : _sessions) all.push_back(s);
    }
    for (auto& s : all) {
        close(s);
    }
}

size_t ConsoleCore::openLogins()
{
    std::lock_guard<std::mutex> lock(_sessionsMutex);
    return _sessions.size();
}

void ConsoleCore::startReaper()
{
    std::lock_guard<std::mutex> lock(_reaperMutex);
    _stopping = false;
    _reaper = std::thread([this] { reapIdle(); });
}

void ConsoleCore::stopReaper()
{
    {
        std::lock_guard<std::mutex> lock(_reaperMutex);
        _stopping = true;
    }
    _reaperWake.notify_all();
    if (_reaper.joinable()) {
        _reaper.join();
    }
}

void ConsoleCore::reapIdle()
{
    std::unique_lock<std::mutex> lock(_reaperMutex);
    while (!_stopping) {
        _reaperWake.wait_for(lock, std::chrono::seconds(5));
        std::vector<std::shared_ptr<WebSession>> idle;
        {
            std::lock_guard<std::mutex> s(_sessionsMutex);
            std::time_t now = std::time(nullptr);
            for (auto& [id, session] : _sessions) {
                if (_options.idleTimeoutSeconds > 0 && now - session->lastUse >= _options.idleTimeoutSeconds) {
                    idle.push_back(session);
                }
            }
        }
        for (auto& session : idle) {
            close(session);
        }
    }
}

void ConsoleCore::setCookie(HttpResponse& res, const std::string& name, const std::string& value, long maxAge) const
{
    std::string cookie = name + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
    if (maxAge >= 0) {
        cookie += "; Max-Age=" + std::to_string(maxAge);
    }
    if (tls()) {
        cookie += "; Secure";
    }
    res.headers.emplace_back("Set-Cookie", cookie);
}

// --- the module -------------------------------------------------------------

zor::Expected<void> ConsoleCore::openHost(WebSession& s)
{
    if (s.closed) {
        return zor::Error{"the session has ended"};
    }
    if (s.host) {
        return {};
    }
    auto host = std::make_unique<HostSession>(_module, _options.msgSize);
    host->captureStdout();
    std::optional<EscapedException> thrown;
    std::optional<int> opened = host->open(&thrown);
    if (!opened || *opened != 0) {
        host->close();
        return zor::Error{"the module did not open a session"};
    }
    s.host = std::move(host);
    ++_moduleSessions;
    std::vector<std::string> table;
    std::string readError;
    if (readEntries([&s](const HostRequest& r) { return s.host->run(r); }, &table, &readError)) {
        s.committed = share(std::move(table));
    }
    return {};
}

SharedTable ConsoleCore::share(std::vector<std::string> table) const
{
    SharedTable audited = _options.audit != nullptr ? _options.audit->committedTable() : nullptr;
    if (audited && *audited == table) {
        return audited;
    }
    return std::make_shared<const std::vector<std::string>>(std::move(table));
}

RequestOutcome ConsoleCore::runOpened(WebSession& s, const HostRequest& request)
{
    zor::Expected<void> opened = openHost(s);
    if (!opened) {
        RequestOutcome o;
        o.hostError = opened.error();
        return o;
    }
    return s.host->run(request);
}

RequestOutcome ConsoleCore::run(WebSession& s, const std::string& op, const std::string& key,
                                const std::optional<std::string>& value)
{
    zor::Expected<HostRequest> request = makeRequest(op, key, value);
    if (!request) {
        RequestOutcome outcome;
        outcome.hostError = request.error();
        return outcome;
    }
    // A variable is read before the lock, as for the socket's sessions.
    std::unique_ptr<zormonitor::PrefetchedValue> prefetched = prefetchVariable(*request);
    std::lock_guard<FairMutex> lock(_moduleMutex);
    RequestOutcome outcome = runOpened(s, *request);
    countEdit(s, *request, outcome);
    return outcome;
}

zor::Expected<std::vector<std::string>> ConsoleCore::table(WebSession& s)
{
    std::vector<std::string> entries;
    std::string error;
    auto runner = [this, &s](const HostRequest& r) {
        std::lock_guard<FairMutex> lock(_moduleMutex);
        return runOpened(s, r);
    };
    if (!readEntries(runner, &entries, &error)) {
        return zor::Error{error};
    }
    return entries;
}

std::vector<std::pair<std::string, PresetForm>> ConsoleCore::presets(WebSession& s)
{
    std::vector<std::pair<std::string, PresetForm>> out;
    RequestOutcome count = run(s, "get", kMonitorKeys + "config/preset-trigger-count/", std::nullopt);
    long n = count.result && *count.result >= 0 ? std::strtol(count.reply.c_str(), nullptr, 10) : 0;
    for (long i = 0; i < n && i < 10000; ++i) {
        RequestOutcome p =
            run(s, "get", kMonitorKeys + "config/preset-trigger/" + std::to_string(i) + "/", std::nullopt);
        PresetForm preset;
        if (p.result && *p.result >= 0 && readPreset(p.reply, &preset)) {
            out.emplace_back(p.reply, preset);
        }
    }
    return out;
}

std::string ConsoleCore::diffText(WebSession& s, bool asJson)
{
    zor::Expected<std::vector<std::string>> now = table(s);
    if (!now) {
        return now.error();
    }
    std::ostringstream out;
    printDiff(committedOf(s), *now, asJson, out, diffWords);
    return out.str();
}

std::vector<std::string> ConsoleCore::validate(WebSession& s)
{
    std::vector<std::string> problems;
    for (const auto& [index, problem] : tableProblems(s)) {
        problems.push_back(monvalidate::formatProblem(problem));
    }
    return problems;
}

RequestOutcome ConsoleCore::commit(WebSession& s)
{
    RequestOutcome o = run(s, "commit", kMonitorKeys + "commit/", std::nullopt);
    if (o.result && *o.result >= 0) {
        // A commit of a session with edits writes the whole shared store:
        // every login's edits are in the file now.
        if (o.reply.find("No session changes") == std::string::npos) clearEdits();
        zor::Expected<std::vector<std::string>> now = table(s);
        if (now) {
            if (_options.audit && commitWrote(o)) {
                s.committed = _options.audit->committed(s.user, s.peer, std::move(*now));
            } else {
                s.committed = share(std::move(*now));
            }
        }
    }
    return o;
}

} // namespace console
