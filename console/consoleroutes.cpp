#include "consoleroutes.h"

#include "consolepages.h"

using json = nlohmann::json;

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";

/// The route's checks, then its handler.
HttpHandler guarded(ConsoleCore& core, const ConsoleRoute& route)
{
    return [&core, route](const HttpRequest& req, HttpResponse& res) {
        const bool api = route.audience == Audience::api;
        std::shared_ptr<WebSession> session;
        if (route.access != Access::open) {
            session = core.current(req);
            if (!session) {
                if (api) {
                    sendJson(res, {{"error", "log in first: POST /api/login"}}, 401);
                } else {
                    res.redirect("/login");
                }
                return;
            }
        }
        const bool writes = route.access == Access::loginAndToken;
        if (writes && !tokenOk(req, *session)) {
            if (api) {
                sendJson(res, {{"error", "missing or wrong X-CSRF-Token"}}, 403);
            } else {
                res.status = 403;
                res.setContent(errorPage(*session, "The form was refused: it carried no valid token."), kHtml);
            }
            return;
        }
        json body;
        if (api && writes && !req.body.empty()) {
            body = json::parse(req.body, nullptr, false);
            if (body.is_discarded() || !body.is_object()) {
                sendJson(res, {{"error", "the body is not a JSON object"}}, 400);
                return;
            }
        }
        RouteCall call{core, req, res, std::move(session), body};
        route.handler(call);
    };
}

} // namespace

const std::vector<ConsoleRoute>& consoleRoutes()
{
    using A = Access;
    const Audience page = Audience::page, api = Audience::api;
    static const std::vector<ConsoleRoute> routes = {
        {"GET", "/login", A::open, page, loginForm},
        {"POST", "/login", A::open, page, loginSubmit}, // the form's own token, from its cookie
        {"POST", "/logout", A::loginAndToken, page, logoutSubmit},
        {"GET", "/", A::login, page, overviewView},
        {"GET", "/entries", A::login, page, entriesView},
        {"GET", "/entries/([0-9]{1,9})", A::login, page, entryView},
        {"POST", "/entries", A::loginAndToken, page, entriesSubmit},
        {"GET", "/logs", A::login, page, logsView},
        {"GET", "/logs/download", A::login, page, logDownload},
        {"GET", "/graph", A::login, page, graphView},
        {"GET", "/try", A::login, page, tryView},
        {"GET", "/alerts", A::login, page, alertsView},
        {"POST", "/alerts", A::loginAndToken, page, alertsSubmit},
        {"GET", "/diff", A::login, page, diffView},
        {"GET", "/history", A::login, page, historyView},
        {"POST", "/api/login", A::open, api, apiLogin},
        {"POST", "/api/logout", A::loginAndToken, api, apiLogout},
        // Any request of a management client, answered as zorhost --json answers it.
        {"POST", "/api/request", A::loginAndToken, api, apiRequest},
        {"GET", "/api/entries", A::login, api, apiEntries},
        {"GET", "/api/variables", A::login, api, apiVariables},
        {"GET", "/api/presets", A::login, api, apiPresets},
        {"GET", "/api/logs", A::login, api, apiLogList},
        {"GET", "/api/logs/([^/]+)", A::login, api, apiLogText},
        {"GET", "/api/samples", A::login, api, apiSamples},
        {"GET", "/api/diff", A::login, api, apiDiff},
        {"GET", "/api/history", A::login, api, apiHistory},
        {"POST", "/api/validate", A::loginAndToken, api, apiValidate},
        {"POST", "/api/commit", A::loginAndToken, api, apiCommit},
        {"POST", "/api/discard", A::loginAndToken, api, apiDiscard},
        {"POST", "/api/try", A::loginAndToken, api, apiTry},
        {"GET", "/api/alerts", A::login, api, apiAlerts},
        {"POST", "/api/alerts", A::loginAndToken, api, apiAcknowledge},
        {"GET", "/api/silences", A::login, api, apiSilences},
        {"POST", "/api/silences", A::loginAndToken, api, apiAddSilence},
        {"DELETE", "/api/silences/([^/]+)", A::loginAndToken, api, apiRemoveSilence},
        // Open to the allowed address ranges, and to a login from anywhere.
        {"GET", "/metrics", A::open, page, metricsText},
        {"GET", "/console.js", A::open, page, scriptFile},
    };
    return routes;
}

bool tokenOk(const HttpRequest& req, const WebSession& s)
{
    std::string token = req.hasHeader("X-CSRF-Token") ? req.header("X-CSRF-Token") : req.formField("csrf");
    return !token.empty() && sameSecret(token, s.csrf);
}

void sendJson(HttpResponse& res, const json& body, int status)
{
    res.status = status;
    res.setContent(body.dump(-1, ' ', true, json::error_handler_t::replace), "application/json");
}

void installRoutes(HttpRouter& router, ConsoleCore& core)
{
    for (const ConsoleRoute& route : consoleRoutes()) {
        router.add(route.method, route.path, guarded(core, route));
    }
    router.setErrorBody(errorAnswer);
    router.setExceptionHandler([](const HttpRequest& req, HttpResponse& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        res = HttpResponse();
        res.status = 500;
        errorAnswer(req, res, "error: " + what);
    });
    router.setPostRoutingHandler([](const HttpRequest&, HttpResponse& res) {
        res.setHeader("X-Content-Type-Options", "nosniff");
        res.setHeader("X-Frame-Options", "DENY");
        res.setHeader("Content-Security-Policy",
                      "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:");
        res.setHeader("Cache-Control", "no-store");
        // The console's links carry log names, variables and days in their
        // queries: no other site is told where a browser came from.
        res.setHeader("Referrer-Policy", "no-referrer");
    });
}

} // namespace console
