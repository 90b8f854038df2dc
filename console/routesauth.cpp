// Logging in and out, by the form and by the API. A failed login counts
// against the name and the client's address (LoginLimiter); the form
// carries a token of its own, from a cookie set with the form, since there
// is no login yet whose token it could carry. Logins, failures, lockouts
// and logouts go to the audit trail.
#include "consoleroutes.h"

#include "audittrail.h"

#include <cctype>

using json = nlohmann::json;

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";

void audit(ConsoleCore& core, const char* event, const std::string& user, const std::string& peer,
           const std::string& what = "")
{
    if (core.options().audit) {
        core.options().audit->record(event, user, peer, what);
    }
}

/// A refused attempt at a locked name: recorded, like any failed login.
void auditBlocked(ConsoleCore& core, const std::string& user, const std::string& peer)
{
    audit(core, "LOGIN-FAILED", user, peer, "refused: too many failed logins");
}

/// A wrong password; the failure that reaches the limit locks the name out
/// from that address, and says so.
void failedLogin(ConsoleCore& core, const std::string& user, const std::string& peer)
{
    core.limiter().failed(user, peer);
    audit(core, "LOGIN-FAILED", user, peer, "wrong name or password");
    if (core.limiter().blocked(user, peer)) {
        audit(core, "LOCKOUT", user, peer,
              "after " + std::to_string(core.options().loginLimit) + " failed logins, for " +
                  std::to_string(core.options().loginWindowSeconds) + " s");
    }
}

void loggedIn(ConsoleCore& core, WebSession& s, const std::string& peer)
{
    s.peer = peer;
    audit(core, "LOGIN", s.user, peer);
}

void loggedOut(RouteCall& call)
{
    audit(call.core, "LOGOUT", call.session->user, call.request.remoteAddr);
    call.core.close(call.session);
    call.core.setCookie(call.response, kSessionCookie, "", 0);
}

} // namespace

void loginForm(RouteCall& call)
{
    std::string token = randomToken();
    call.core.setCookie(call.response, kLoginCookie, token, 600);
    const std::string message = call.request.param("out") == "1" ? "You are logged out." : call.request.param("error");
    call.response.setContent(loginPage(token, message), kHtml);
}

void loginSubmit(RouteCall& call)
{
    const HttpRequest& req = call.request;
    HttpResponse& res = call.response;
    ConsoleCore& core = call.core;
    std::string expected = req.cookie(kLoginCookie);
    if (expected.empty() || !sameSecret(expected, req.formField("csrf"))) {
        res.status = 403;
        res.setContent(loginPage(randomToken(), "The form had no valid token; load the page again."), kHtml);
        return;
    }
    std::string user = req.formField("user");
    if (core.limiter().blocked(user, req.remoteAddr)) {
        auditBlocked(core, user, req.remoteAddr);
        res.status = 429;
        res.setContent(loginPage(expected, "Too many failed logins; wait a few minutes."), kHtml);
        return;
    }
    if (!checkPassword(core.options().usersFile, user, req.formField("password"))) {
        failedLogin(core, user, req.remoteAddr);
        res.status = 403;
        res.setContent(loginPage(expected, "Wrong name or password."), kHtml);
        return;
    }
    core.limiter().succeeded(user, req.remoteAddr);
    auto s = core.login(user, &res.status);
    if (!s) {
        std::string error = s.error();
        error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
        res.setContent(loginPage(expected, error + "."), kHtml);
        return;
    }
    loggedIn(core, **s, req.remoteAddr);
    core.setCookie(res, kSessionCookie, (*s)->id, -1);
    res.redirect("/");
}

void logoutSubmit(RouteCall& call)
{
    loggedOut(call);
    call.response.redirect("/login?out=1");
}

void apiLogin(RouteCall& call)
{
    const HttpRequest& req = call.request;
    HttpResponse& res = call.response;
    ConsoleCore& core = call.core;
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("user") || !body.contains("password") || !body["user"].is_string() ||
        !body["password"].is_string()) {
        sendJson(res, {{"error", "expected {\"user\":..., \"password\":...}"}}, 400);
        return;
    }
    std::string user = body["user"];
    if (core.limiter().blocked(user, req.remoteAddr)) {
        auditBlocked(core, user, req.remoteAddr);
        sendJson(res, {{"error", "too many failed logins; wait a few minutes"}}, 429);
        return;
    }
    if (!checkPassword(core.options().usersFile, user, body["password"])) {
        failedLogin(core, user, req.remoteAddr);
        sendJson(res, {{"error", "wrong name or password"}}, 403);
        return;
    }
    core.limiter().succeeded(user, req.remoteAddr);
    int status = 0;
    auto s = core.login(user, &status);
    if (!s) {
        sendJson(res, {{"error", s.error()}}, status);
        return;
    }
    loggedIn(core, **s, req.remoteAddr);
    core.setCookie(res, kSessionCookie, (*s)->id, -1);
    sendJson(res, {{"csrf", (*s)->csrf}, {"user", (*s)->user}});
}

void apiLogout(RouteCall& call)
{
    loggedOut(call);
    sendJson(call.response, {{"closed", true}});
}

} // namespace console
