// The console's routes as one table: each path and method with its named
// handler and what a request must bring before the handler runs (a login,
// and for anything that changes state the login's token as well). The
// checks live here, once, so that a handler never forgets them; the
// handlers live in files by area (routesauth.cpp, routespages.cpp,
// routesentries.cpp, routeslogs.cpp, routesalerts.cpp, routesmetrics.cpp).
#pragma once

#include "consolecore.h"
#include "httprouter.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <vector>

namespace console {

/// What a request must carry for its handler to run.
enum class Access {
    open,          ///< nothing (the handler checks what it needs itself)
    login,         ///< a login's cookie
    loginAndToken, ///< a login's cookie and its token (X-CSRF-Token or the form's csrf field)
};

/// How a refused request is told: pages redirect to the login form or show
/// an error page; the API answers in JSON.
enum class Audience { page, api };

/// One request as a handler sees it.
struct RouteCall {
    ConsoleCore& core;
    const HttpRequest& request;
    HttpResponse& response;
    /// The login; null on open routes.
    std::shared_ptr<WebSession> session;
    /// An API request's JSON object (null when it sent no body, and on
    /// other routes).
    const nlohmann::json& body;
};

using RouteHandler = void (*)(RouteCall& call);

struct ConsoleRoute {
    const char* method; ///< GET, POST or DELETE
    const char* path;   ///< a regular expression over the whole path
    Access access;
    Audience audience;
    RouteHandler handler;
};

/// Every route of the console, in the order they are matched.
const std::vector<ConsoleRoute>& consoleRoutes();

/// Puts the table into router, each handler behind its checks, with the
/// headers every answer carries and the answer to a handler that throws.
void installRoutes(HttpRouter& router, ConsoleCore& core);

/// True when the request carries the login's token, in the X-CSRF-Token
/// header or the form body; never from the query, since a URL ends up in
/// logs and browser histories.
bool tokenOk(const HttpRequest& request, const WebSession& session);

/// Sets a JSON body (invalid UTF-8 replaced) and the status.
void sendJson(HttpResponse& response, const nlohmann::json& body, int status = 200);

/// The body of an error answer whose status is set: {"error": message} for
/// the API's paths, an HTML page for the others (routeserrors.cpp).
void errorAnswer(const HttpRequest& request, HttpResponse& response, const std::string& message);

// --- the handlers, by area --------------------------------------------------

// routesauth.cpp: the login form and the API's login, logging out.
void loginForm(RouteCall& call);
void loginSubmit(RouteCall& call);
void logoutSubmit(RouteCall& call);
void apiLogin(RouteCall& call);
void apiLogout(RouteCall& call);

// routespages.cpp: the pages and their script.
void overviewView(RouteCall& call);
void logsView(RouteCall& call);
void logDownload(RouteCall& call);
void graphView(RouteCall& call);
void tryView(RouteCall& call);
void scriptFile(RouteCall& call);

// routesentries.cpp: the Entries pages and their forms; the API's requests,
// entries, presets and triggers.
void entriesView(RouteCall& call);
void entryView(RouteCall& call);
void entriesSubmit(RouteCall& call);
void apiRequest(RouteCall& call);
void apiEntries(RouteCall& call);
void apiVariables(RouteCall& call);
void apiPresets(RouteCall& call);
void apiDiff(RouteCall& call);
void apiValidate(RouteCall& call);
void apiCommit(RouteCall& call);
void apiDiscard(RouteCall& call);
void apiTry(RouteCall& call);

// routeslogs.cpp: the API's monitoring logs and samples.
void apiLogList(RouteCall& call);
void apiLogText(RouteCall& call);
void apiSamples(RouteCall& call);

// routesalerts.cpp: the Alerts page's form, and the API's alerts and silences.
void alertsView(RouteCall& call);
void alertsSubmit(RouteCall& call);
void apiAlerts(RouteCall& call);
void apiAcknowledge(RouteCall& call);
void apiSilences(RouteCall& call);
void apiAddSilence(RouteCall& call);
void apiRemoveSilence(RouteCall& call);

// routeshistory.cpp: the Diff and History pages, the API's history.
void diffView(RouteCall& call);
void historyView(RouteCall& call);
void apiHistory(RouteCall& call);

// routesmetrics.cpp: the metrics.
void metricsText(RouteCall& call);

} // namespace console
