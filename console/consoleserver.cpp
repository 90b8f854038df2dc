#include "consoleserver.h"

#include "configtext.h"
#include "consolepages.h"
#include "httpendpoint.h"
#include "valuescreen.h"
#include "variableprefetch.h"
#include "monitorlogs.h"
#include "triggertry.h"

#include "configvalidator.h"
#include "hostsession.h"
#include "monitorthread.h"
#include "replyformat.h"
#include "request.h"
#include "showdiff.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <map>
#include <set>
#include <mutex>
#include <sstream>
#include <thread>

using json = nlohmann::json;

namespace console {

namespace {

const std::string kKeys = "/zor/public/system/monitor/";
const char* const kCookie = "zorconsole";
const char* const kLoginCookie = "zorconsole_login";

std::string cookieValue(const HttpRequest& req, const std::string& name)
{
    std::string header = req.header("Cookie");
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        std::string part = header.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        size_t b = part.find_first_not_of(' ');
        if (b != std::string::npos) {
            part = part.substr(b);
        }
        if (part.compare(0, name.size() + 1, name + "=") == 0) {
            return part.substr(name.size() + 1);
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return "";
}

} // namespace


struct ConsoleServer::Impl : PageContext {
    const ModuleLibrary& module;
    FairMutex& moduleMutex;
    zormon::MonitorThread& thread;
    std::function<unsigned()> socketSessions;
    ConsoleOptions options;
    std::unique_ptr<HttpEndpoint> server;
    LoginLimiter limiter;

    std::mutex sessionsMutex; ///< taken alone, or inside the module mutex
    std::map<std::string, std::shared_ptr<WebSession>> sessions;
    std::atomic<unsigned> moduleSessions{0}; ///< logins whose module session is open

    std::mutex reaperMutex;
    std::condition_variable reaperWake;
    bool stopping = false;
    std::thread reaper;

    Impl(const ModuleLibrary& m, FairMutex& mm, zormon::MonitorThread& t, std::function<unsigned()> s,
         ConsoleOptions o)
        : module(m), moduleMutex(mm), thread(t), socketSessions(std::move(s)), options(std::move(o)),
          limiter(options.loginLimit, std::chrono::seconds(options.loginWindowSeconds))
    {
    }

    bool tls() const { return !options.tlsCert.empty(); }

    // --- sessions -------------------------------------------------------

    /// A login costs a few hundred bytes until its first request opens its
    /// module session (see openHost); a user, and all users together, may
    /// hold only so many. Null with the HTTP status and the reason.
    std::shared_ptr<WebSession> login(const std::string& user, int* status, std::string* error)
    {
        auto s = std::make_shared<WebSession>();
        s->id = randomToken();
        s->csrf = randomToken();
        s->user = user;
        s->lastUse = std::time(nullptr);
        std::lock_guard<std::mutex> lock(sessionsMutex);
        unsigned mine = 0;
        for (const auto& [id, other] : sessions) {
            mine += other->user == user ? 1 : 0;
        }
        if (mine >= options.loginsPerUser) {
            *status = 429;
            *error = "too many logins for this user: " + std::to_string(mine) +
                     " are open, the most one user may have; log out of one first";
            return nullptr;
        }
        if (sessions.size() >= options.loginsInAll) {
            *status = 503;
            *error = "the console has " + std::to_string(sessions.size()) +
                     " logins open, the most it serves; try again when one has logged out";
            return nullptr;
        }
        sessions[s->id] = s;
        return s;
    }

    /// Opens the login's module session on its first use, and takes the
    /// table it sees then as the one its diffs start from. Under the
    /// module mutex.
    bool openHost(WebSession& s, std::string* error)
    {
        if (s.closed) {
            *error = "the session has ended";
            return false;
        }
        if (s.host) {
            return true;
        }
        auto host = std::make_unique<HostSession>(module, options.msgSize);
        host->captureStdout();
        std::optional<EscapedException> thrown;
        std::optional<int> opened = host->open(&thrown);
        if (!opened || *opened != 0) {
            host->close();
            *error = "the module did not open a session";
            return false;
        }
        s.host = std::move(host);
        ++moduleSessions;
        std::vector<std::string> table;
        std::string readError;
        if (readEntries([&s](const HostRequest& r) { return s.host->run(r); }, &table, &readError)) {
            s.committed = std::move(table);
        }
        return true;
    }

    void close(const std::shared_ptr<WebSession>& s)
    {
        {
            std::lock_guard<std::mutex> lock(sessionsMutex);
            sessions.erase(s->id);
        }
        std::lock_guard<FairMutex> lock(moduleMutex);
        if (!s->closed) {
            s->closed = true;
            if (s->host) {
                s->host->close();
                s->host.reset();
                --moduleSessions;
            }
            std::vector<std::string>().swap(s->committed);
        }
    }

    std::shared_ptr<WebSession> current(const HttpRequest& req)
    {
        std::string id = cookieValue(req, kCookie);
        std::lock_guard<std::mutex> lock(sessionsMutex);
        auto it = sessions.find(id);
        if (id.empty() || it == sessions.end()) {
            return nullptr;
        }
        it->second->lastUse = std::time(nullptr);
        return it->second;
    }

    void reapIdle()
    {
        std::unique_lock<std::mutex> lock(reaperMutex);
        while (!stopping) {
            reaperWake.wait_for(lock, std::chrono::seconds(5));
            std::vector<std::shared_ptr<WebSession>> idle;
            {
                std::lock_guard<std::mutex> s(sessionsMutex);
                std::time_t now = std::time(nullptr);
                for (auto& [id, session] : sessions) {
                    if (options.idleTimeoutSeconds > 0 && now - session->lastUse >= options.idleTimeoutSeconds) {
                        idle.push_back(session);
                    }
                }
            }
            for (auto& session : idle) {
                close(session);
            }
        }
    }

    size_t openBrowserSessions()
    {
        std::lock_guard<std::mutex> lock(sessionsMutex);
        return sessions.size();
    }

    // --- the module -----------------------------------------------------

    RequestOutcome run(WebSession& s, const std::string& op, const std::string& key,
                       const std::optional<std::string>& value) override
    {
        HostRequest request;
        std::string error;
        RequestOutcome outcome;
        if (!makeRequest(op, key, value, &request, &error)) {
            outcome.hostError = error;
            return outcome;
        }
        // A variable is read before the lock, as for the socket's sessions.
        std::unique_ptr<zormonitor::PrefetchedValue> prefetched = prefetchVariable(request);
        std::lock_guard<FairMutex> lock(moduleMutex);
        if (!openHost(s, &error)) {
            outcome.hostError = error;
            return outcome;
        }
        return s.host->run(request);
    }

    RequestRunner runner(WebSession& s)
    {
        return [this, &s](const HostRequest& r) {
            std::lock_guard<FairMutex> lock(moduleMutex);
            std::string error;
            if (!openHost(s, &error)) {
                RequestOutcome o;
                o.hostError = error;
                return o;
            }
            return s.host->run(r);
        };
    }

    bool table(WebSession& s, std::vector<std::string>* entries, std::string* error) override
    {
        return readEntries(runner(s), entries, error);
    }

    std::vector<std::pair<std::string, PresetForm>> presets(WebSession& s) override
    {
        std::vector<std::pair<std::string, PresetForm>> out;
        RequestOutcome count = run(s, "get", kKeys + "config/preset-trigger-count/", std::nullopt);
        long n = count.result && *count.result >= 0 ? std::strtol(count.reply.c_str(), nullptr, 10) : 0;
        for (long i = 0; i < n && i < 10000; ++i) {
            RequestOutcome p = run(s, "get", kKeys + "config/preset-trigger/" + std::to_string(i) + "/", std::nullopt);
            PresetForm preset;
            if (p.result && *p.result >= 0 && readPreset(p.reply, &preset)) {
                out.emplace_back(p.reply, preset);
            }
        }
        return out;
    }

    std::string diffText(WebSession& s, bool asJson) override
    {
        std::vector<std::string> now;
        std::string error;
        if (!table(s, &now, &error)) {
            return error;
        }
        std::ostringstream out;
        printDiff(s.committed, now, asJson, out);
        return out.str();
    }

    std::vector<std::string> validate(WebSession& s) override
    {
        std::vector<std::string> problems;
        std::vector<std::string> entries;
        std::string error;
        if (!table(s, &entries, &error)) {
            return {error};
        }
        monvalidate::VariableCatalogue catalogue;
        for (const auto& [name, definition] : thread.variables()) {
            catalogue[name] = monvalidate::kindFromDefinition(definition);
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            for (const auto& p : monvalidate::validateText(entries[i], monvalidate::DocumentKind::monitorEntry,
                                                           catalogue, "entry " + std::to_string(i))) {
                problems.push_back(monvalidate::formatProblem(p));
            }
        }
        return problems;
    }

    RequestOutcome commit(WebSession& s) override
    {
        RequestOutcome o = run(s, "commit", kKeys + "commit/", std::nullopt);
        if (o.result && *o.result >= 0) {
            std::vector<std::string> now;
            std::string error;
            if (table(s, &now, &error)) {
                s.committed = now;
            }
        }
        return o;
    }

    zormon::MonitorThread& monitor() override { return thread; }
    const std::string& logFolder() override { return options.logFolder; }
    long interval() override { return options.interval; }

    // --- HTTP -----------------------------------------------------------

    void setSessionCookie(HttpResponse& res, const std::string& name, const std::string& value, long maxAge)
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

    static void sendJson(HttpResponse& res, const json& body, int status = 200)
    {
        res.status = status;
        res.setContent(body.dump(-1, ' ', true, json::error_handler_t::replace), "application/json");
    }

    static bool csrfOk(const HttpRequest& req, const WebSession& s)
    {
        // Never from the query: a URL ends up in logs and browser histories.
        std::string token = req.hasHeader("X-CSRF-Token") ? req.header("X-CSRF-Token") : req.formField("csrf");
        return !token.empty() && sameSecret(token, s.csrf);
    }

    void routes();
    void pageRoutes();
    void apiRoutes();
    std::string metricsText();
};

// --- pages ------------------------------------------------------------------

void ConsoleServer::Impl::pageRoutes()
{
    auto& srv = *server;
    srv.get("/login", [this](const HttpRequest& req, HttpResponse& res) {
        std::string token = randomToken();
        setSessionCookie(res, kLoginCookie, token, 600);
        res.setContent(loginPage(token, req.param("error")), "text/html; charset=utf-8");
    });
    srv.post("/login", [this](const HttpRequest& req, HttpResponse& res) {
        std::string expected = cookieValue(req, kLoginCookie);
        if (expected.empty() || !sameSecret(expected, req.formField("csrf"))) {
            res.status = 403;
            res.setContent(loginPage(randomToken(), "The form had no valid token; load the page again."),
                           "text/html; charset=utf-8");
            return;
        }
        std::string user = req.formField("user");
        if (limiter.blocked(user, req.remoteAddr)) {
            res.status = 429;
            res.setContent(loginPage(expected, "Too many failed logins; wait a few minutes."),
                           "text/html; charset=utf-8");
            return;
        }
        if (!checkPassword(options.usersFile, user, req.formField("password"))) {
            limiter.failed(user, req.remoteAddr);
            res.status = 403;
            res.setContent(loginPage(expected, "Wrong name or password."), "text/html; charset=utf-8");
            return;
        }
        limiter.succeeded(user, req.remoteAddr);
        std::string error;
        auto s = login(user, &res.status, &error);
        if (!s) {
            error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
            res.setContent(loginPage(expected, error + "."), "text/html; charset=utf-8");
            return;
        }
        setSessionCookie(res, kCookie, s->id, -1);
        res.redirect("/");
    });

    // Every other page needs a session; a form post needs its token too.
    auto page = [this](auto render, bool write) {
        return [this, render, write](const HttpRequest& req, HttpResponse& res) {
            auto s = current(req);
            if (!s) {
                res.redirect("/login");
                return;
            }
            if (write && !csrfOk(req, *s)) {
                res.status = 403;
                res.setContent(errorPage(*s, "The form was refused: it carried no valid token."),
                               "text/html; charset=utf-8");
                return;
            }
            render(req, res, *s);
        };
    };
    srv.post("/logout", page([this](const HttpRequest& req, HttpResponse& res, WebSession& s) {
        (void)req;
        std::shared_ptr<WebSession> held = current(req);
        if (held) {
            close(held);
        }
        (void)s;
        setSessionCookie(res, kCookie, "", 0);
        res.redirect("/login");
    }, true));
    srv.get("/", page([this](const HttpRequest&, HttpResponse& res, WebSession& s) {
        res.setContent(overviewPage(*this, s), "text/html; charset=utf-8");
    }, false));
    srv.get("/entries", page([this](const HttpRequest&, HttpResponse& res, WebSession& s) {
        res.setContent(entriesPage(*this, s), "text/html; charset=utf-8");
    }, false));
    srv.post("/entries", page([this](const HttpRequest& req, HttpResponse& res, WebSession& s) {
        s.flash = entriesAction(*this, s, [&req](const std::string& name) { return req.formField(name); });
        res.redirect("/entries");
    }, true));
    srv.get("/logs", page([this](const HttpRequest& req, HttpResponse& res, WebSession& s) {
        res.setContent(logsPage(*this, s, req.param("name"), req.param("filter")),
                       "text/html; charset=utf-8");
    }, false));
    srv.get("/logs/download", page([this](const HttpRequest& req, HttpResponse& res, WebSession&) {
        std::string name = req.param("name");
        std::string text;
        if (!readLog(options.logFolder, name, &text)) {
            res.status = 404;
            res.setContent("no such log\n", "text/plain");
            return;
        }
        res.setHeader("Content-Disposition", "attachment; filename=\"" + name + ".log\"");
        res.setContent(text, "text/plain; charset=utf-8");
    }, false));
    srv.get("/graph", page([this](const HttpRequest& req, HttpResponse& res, WebSession& s) {
        res.setContent(graphPage(*this, s, req.param("var"), req.param("day"), req.param("span") == "week"),
                       "text/html; charset=utf-8");
    }, false));
    srv.get("/try", page([this](const HttpRequest& req, HttpResponse& res, WebSession& s) {
        res.setContent(tryPage(*this, s, [&req](const std::string& name) { return req.param(name); }),
                       "text/html; charset=utf-8");
    }, false));
}

// --- JSON API ---------------------------------------------------------------

void ConsoleServer::Impl::apiRoutes()
{
    auto& srv = *server;
    srv.post("/api/login", [this](const HttpRequest& req, HttpResponse& res) {
        json body = json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("user") || !body.contains("password") || !body["user"].is_string() ||
            !body["password"].is_string()) {
            sendJson(res, {{"error", "expected {\"user\":..., \"password\":...}"}}, 400);
            return;
        }
        std::string user = body["user"];
        if (limiter.blocked(user, req.remoteAddr)) {
            sendJson(res, {{"error", "too many failed logins; wait a few minutes"}}, 429);
            return;
        }
        if (!checkPassword(options.usersFile, user, body["password"])) {
            limiter.failed(user, req.remoteAddr);
            sendJson(res, {{"error", "wrong name or password"}}, 403);
            return;
        }
        limiter.succeeded(user, req.remoteAddr);
        std::string error;
        int status = 0;
        auto s = login(user, &status, &error);
        if (!s) {
            sendJson(res, {{"error", error}}, status);
            return;
        }
        setSessionCookie(res, kCookie, s->id, -1);
        sendJson(res, {{"csrf", s->csrf}, {"user", s->user}});
    });

    auto api = [this](auto handler, bool write) {
        return [this, handler, write](const HttpRequest& req, HttpResponse& res) {
            auto s = current(req);
            if (!s) {
                sendJson(res, {{"error", "log in first: POST /api/login"}}, 401);
                return;
            }
            if (write && !csrfOk(req, *s)) {
                sendJson(res, {{"error", "missing or wrong X-CSRF-Token"}}, 403);
                return;
            }
            json body;
            if (write && !req.body.empty()) {
                body = json::parse(req.body, nullptr, false);
                if (body.is_discarded() || !body.is_object()) {
                    sendJson(res, {{"error", "the body is not a JSON object"}}, 400);
                    return;
                }
            }
            handler(req, res, s, body);
        };
    };
    using S = std::shared_ptr<WebSession>;
    srv.post("/api/logout", api([this](const HttpRequest&, HttpResponse& res, S s, const json&) {
        close(s);
        setSessionCookie(res, kCookie, "", 0);
        sendJson(res, {{"closed", true}});
    }, true));
    // Any request of a management client, answered as zorhost --json answers it.
    srv.post("/api/request", api([this](const HttpRequest&, HttpResponse& res, S s, const json& body) {
        if (!body.contains("op") || !body["op"].is_string() || (body.contains("key") && !body["key"].is_string()) ||
            (body.contains("value") && !body["value"].is_string())) {
            sendJson(res, {{"error", "expected {\"op\":..., \"key\":..., \"value\":...}"}}, 400);
            return;
        }
        std::optional<std::string> key, value;
        if (body.contains("key")) key = body["key"].get<std::string>();
        if (body.contains("value")) value = body["value"].get<std::string>();
        HostRequest request;
        std::string error;
        if (!makeRequest(body["op"], key, value, &request, &error)) {
            sendJson(res, {{"error", error}}, 400);
            return;
        }
        // A commit also takes the table as committed, for later diffs.
        bool plainCommit = request.type == KEY_TYPE_COMMIT && !request.forcedKeyId && request.key == kKeys + "commit/";
        RequestOutcome o = plainCommit ? commit(*s) : run(*s, body["op"], request.key, value);
        if (o.hostError) {
            sendJson(res, {{"error", *o.hostError}}, 500);
            return;
        }
        res.setContent(jsonLine(request, o), "application/json");
    }, true));
    srv.get("/api/entries", api([this](const HttpRequest&, HttpResponse& res, S s, const json&) {
        std::vector<std::string> entries;
        std::string error;
        if (!table(*s, &entries, &error)) {
            sendJson(res, {{"error", error}}, 500);
            return;
        }
        json out = json::array();
        for (size_t i = 0; i < entries.size(); ++i) {
            EntryForm e;
            json item = {{"index", i}, {"xml", entries[i]}};
            if (readEntry(entries[i], &e)) {
                item["variable"] = e.variable;
                item["schedule"] = describeSchedule(e);
                json triggers = json::array();
                for (const auto& t : e.triggers) {
                    triggers.push_back(describeTrigger(t));
                }
                item["triggers"] = triggers;
            }
            out.push_back(item);
        }
        sendJson(res, out);
    }, false));
    srv.get("/api/variables", api([this](const HttpRequest&, HttpResponse& res, S, const json&) {
        json out = json::array();
        for (const auto& [name, definition] : thread.variables()) {
            std::string value;
            int rc = thread.currentValue(name, &value);
            json item = {{"name", name}, {"definition", definition}, {"result", rc}};
            if (rc == 0) item["value"] = value;
            out.push_back(item);
        }
        sendJson(res, out);
    }, false));
    srv.get("/api/presets", api([this](const HttpRequest&, HttpResponse& res, S s, const json&) {
        std::set<std::string> known;
        for (const auto& v : thread.variables()) known.insert(v.first);
        json out = json::array();
        size_t i = 0;
        for (const auto& [xml, p] : presets(*s)) {
            out.push_back({{"index", i++}, {"name", p.name}, {"variable", p.variable}, {"description", p.description},
                           {"onThisUnit", known.count(p.variable) > 0}, {"xml", xml}});
        }
        sendJson(res, out);
    }, false));
    srv.get("/api/logs", api([this](const HttpRequest&, HttpResponse& res, S, const json&) {
        sendJson(res, listLogs(options.logFolder));
    }, false));
    srv.get(R"(/api/logs/([^/]+))", api([this](const HttpRequest& req, HttpResponse& res, S, const json&) {
        std::string text;
        if (!readLog(options.logFolder, req.matches[1], &text)) {
            sendJson(res, {{"error", "no such log"}}, 404);
            return;
        }
        res.setContent(text, "text/plain; charset=utf-8");
    }, false));
    srv.get("/api/samples", api([this](const HttpRequest& req, HttpResponse& res, S, const json&) {
        std::string text;
        if (!readLog(options.logFolder, req.param("day"), &text)) {
            sendJson(res, {{"error", "no such log"}}, 404);
            return;
        }
        json out = json::array();
        for (const auto& p : samplesOf(text, req.param("var"))) {
            out.push_back({{"time", p.clock}, {"value", p.value}});
        }
        sendJson(res, out);
    }, false));
    srv.get("/api/diff", api([this](const HttpRequest&, HttpResponse& res, S s, const json&) {
        res.setContent(diffText(*s, true), "application/json");
    }, false));
    srv.post("/api/validate", api([this](const HttpRequest&, HttpResponse& res, S s, const json&) {
        sendJson(res, {{"problems", validate(*s)}});
    }, true));
    srv.post("/api/commit", api([this](const HttpRequest&, HttpResponse& res, S s, const json&) {
        RequestOutcome o = commit(*s);
        sendJson(res, {{"result", o.result ? json(*o.result) : json(nullptr)}, {"reply", o.reply}},
                 o.result && *o.result >= 0 ? 200 : 409);
    }, true));
    // Tries a trigger (its XML text, or a preset's index) on a stored day.
    srv.post("/api/try", api([this](const HttpRequest&, HttpResponse& res, S s, const json& body) {
        auto field = [&body](const char* name) {
            return body.contains(name) && body[name].is_string() ? body[name].get<std::string>() : std::string();
        };
        TriggerForm trigger;
        std::string variable = field("variable");
        if (!field("preset").empty()) {
            auto all = presets(*s);
            size_t i = std::strtoul(field("preset").c_str(), nullptr, 10);
            if (i >= all.size()) {
                sendJson(res, {{"error", "no such preset"}}, 400);
                return;
            }
            trigger = all[i].second.trigger;
            if (variable.empty()) variable = all[i].second.variable;
        } else if (!readTrigger(field("trigger"), &trigger)) {
            sendJson(res, {{"error", "trigger: expected one action-trigger text"}}, 400);
            return;
        }
        std::string text;
        if (!readLog(options.logFolder, field("day"), &text)) {
            sendJson(res, {{"error", "no such log"}}, 404);
            return;
        }
        TryResult r = tryTrigger(variable, trigger, samplesOf(text, variable), options.interval);
        json points = json::array();
        for (const auto& p : r.points) {
            if (p.fired || p.suppressed) {
                points.push_back({{"time", p.sample.clock}, {"value", p.sample.value},
                                  {"outcome", p.fired ? "fired" : "suppressed"}, {"message", p.message}});
            }
        }
        sendJson(res, {{"variable", variable}, {"samples", r.points.size()}, {"fired", r.fired},
                       {"suppressed", r.suppressed}, {"firings", points}});
    }, true));
}

// --- metrics ----------------------------------------------------------------

namespace {

std::string labelValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace

std::string ConsoleServer::Impl::metricsText()
{
    std::ostringstream m;
    auto family = [&m](const char* name, const char* type, const char* help) {
        m << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    };
    family("zor_variable_value", "gauge", "Current value of each numeric monitored variable.");
    for (const auto& [name, definition] : thread.variables()) {
        std::string value;
        zormon::Sample sample;
        if (thread.currentValue(name, &value) == 0 && zormon::parseSample(value, &sample) && sample.isNumber) {
            m << "zor_variable_value{variable=\"" << labelValue(name) << "\"} " << zormon::formatNumber(sample.number)
              << '\n';
        }
    }
    zormon::MonitorThreadStatus st = thread.status();
    family("zor_monitor_running", "gauge", "1 while the monitor thread samples.");
    m << "zor_monitor_running " << (st.running ? 1 : 0) << '\n';
    family("zor_monitor_entries", "gauge", "Monitor entries the thread watches.");
    m << "zor_monitor_entries " << st.entries << '\n';
    family("zor_monitor_samples_total", "counter", "Samples taken since the daemon started.");
    m << "zor_monitor_samples_total " << st.samples << '\n';
    family("zor_monitor_unavailable_total", "counter", "Readings that gave no value.");
    m << "zor_monitor_unavailable_total " << st.unavailable << '\n';
    family("zor_monitor_actions_performed_total", "counter", "Trigger firings that passed the repeat limit.");
    m << "zor_monitor_actions_performed_total " << st.performed << '\n';
    family("zor_monitor_actions_sent_total", "counter", "Actions sent, by kind.");
    m << "zor_monitor_actions_sent_total{action=\"udp\"} " << st.udpSent << '\n'
      << "zor_monitor_actions_sent_total{action=\"trap\"} " << st.trapsSent << '\n'
      << "zor_monitor_actions_sent_total{action=\"email\"} " << st.mailSent << '\n';
    family("zor_monitor_actions_failed_total", "counter", "Actions that failed, by kind.");
    for (const char* kind : zormon::kActionKinds) {
        const auto found = st.actionFailures.find(kind);
        m << "zor_monitor_actions_failed_total{action=\"" << kind << "\"} "
          << (found != st.actionFailures.end() ? found->second : 0UL) << '\n';
    }
    family("zor_monitor_alerts_total", "counter",
           "Trigger firings that passed the repeat limit, by variable and action kind.");
    for (const auto& [key, n] : st.alerts) {
        m << "zor_monitor_alerts_total{variable=\"" << labelValue(key.first) << "\",action=\"" << key.second
          << "\"} " << n << '\n';
    }
    // Alerts by variable: the alert lines of today's log (actions with a log record).
    family("zor_monitor_alerts_logged_today", "gauge", "Alert lines in today's monitoring log, by variable.");
    {
        std::string text;
        std::map<std::string, unsigned long> counts;
        std::time_t now = std::time(nullptr);
        std::string today = zormon::dayLogName(now);
        if (readLog(options.logFolder, today.substr(0, today.size() - 4), &text)) {
            for (const auto& a : alertsOf(text)) ++counts[a.variable];
        }
        for (const auto& [name, n] : counts) {
            m << "zor_monitor_alerts_logged_today{variable=\"" << labelValue(name) << "\"} " << n << '\n';
        }
    }
    family("zor_sessions_open", "gauge", "Module sessions open, by where their client is.");
    m << "zor_sessions_open{client=\"socket\"} " << socketSessions() << '\n'
      << "zor_sessions_open{client=\"console\"} " << moduleSessions << '\n';
    family("zor_monitor_config_last_load_timestamp_seconds", "gauge",
           "When the monitor thread last took up a configuration (Unix time).");
    m << "zor_monitor_config_last_load_timestamp_seconds " << st.lastLoad << '\n';
    family("zor_monitor_config_load_ok", "gauge", "0 when the last configuration load failed.");
    m << "zor_monitor_config_load_ok " << (st.configurationProblem.empty() ? 1 : 0) << '\n';
    family("zor_module_xml_parser_ok", "gauge",
           "0 once the module's XML parser refuses every document (restart zorhostd after committing).");
    m << "zor_module_xml_parser_ok " << (valuescreen::moduleParserProblem().empty() ? 1 : 0) << '\n';
    return m.str();
}

void ConsoleServer::Impl::routes()
{
    pageRoutes();
    apiRoutes();
    server->get("/metrics", [this](const HttpRequest& req, HttpResponse& res) {
        if (!addressAllowed(req.remoteAddr, options.metricsAllow) && !current(req)) {
            res.status = 403;
            res.setContent("metrics: this address may not read them without a login\n", "text/plain");
            return;
        }
        res.setContent(metricsText(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server->setExceptionHandler([](const HttpRequest&, HttpResponse& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        res.status = 500;
        res.setContent("error: " + what + "\n", "text/plain");
    });
    server->setPostRoutingHandler([](const HttpRequest&, HttpResponse& res) {
        res.setHeader("X-Content-Type-Options", "nosniff");
        res.setHeader("X-Frame-Options", "DENY");
        res.setHeader("Content-Security-Policy",
                       "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:");
        res.setHeader("Cache-Control", "no-store");
    });
    server->get("/console.js", [](const HttpRequest&, HttpResponse& res) {
        res.setContent(consoleScript(), "text/javascript");
    });
}

ConsoleServer::ConsoleServer(const ModuleLibrary& module, FairMutex& moduleMutex, zormon::MonitorThread& thread,
                             std::function<unsigned()> socketSessions, ConsoleOptions options)
    : _impl(std::make_unique<Impl>(module, moduleMutex, thread, std::move(socketSessions), std::move(options)))
{
}

ConsoleServer::~ConsoleServer() { stop(); }

unsigned ConsoleServer::openLogins() const { return static_cast<unsigned>(_impl->openBrowserSessions()); }

bool ConsoleServer::start(std::string* error)
{
    Impl& d = *_impl;
    d.server = HttpEndpoint::create(d.tls() ? d.options.tlsCert : "", d.options.tlsKey, error);
    if (!d.server) {
        return false;
    }
    d.routes();
    if (!d.server->start(d.options.address, d.options.port, d.options.http, error)) {
        d.server.reset();
        return false;
    }
    d.reaper = std::thread([&d] { d.reapIdle(); });
    return true;
}

void ConsoleServer::stop()
{
    Impl& d = *_impl;
    if (d.server) {
        d.server->stop();
    }
    {
        std::lock_guard<std::mutex> lock(d.reaperMutex);
        d.stopping = true;
    }
    d.reaperWake.notify_all();
    if (d.reaper.joinable()) {
        d.reaper.join();
    }
    std::vector<std::shared_ptr<WebSession>> all;
    {
        std::lock_guard<std::mutex> lock(d.sessionsMutex);
        for (auto& [id, s] : d.sessions) all.push_back(s);
    }
    for (auto& s : all) {
        d.close(s);
    }
}

} // namespace console
