// Logging in and out, by the form and by the API. A failed login counts
// against the name and the client's address (LoginLimiter); the form
// carries a token of its own, from a cookie set with the form, since there
// is no login yet whose token it could carry.
#include "consoleroutes.h"

#include <cctype>

using json = nlohmann::json;

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";

} // namespace

void loginForm(RouteCall& call)
{
    std::string token = randomToken();
    call.core.setCookie(call.response, kLoginCookie, token, 600);
    call.response.setContent(loginPage(token, call.request.param("error")), kHtml);
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
        res.status = 429;
        res.setContent(loginPage(expected, "Too many failed logins; wait a few minutes."), kHtml);
        return;
    }
    if (!checkPassword(core.options().usersFile, user, req.formField("password"))) {
        core.limiter().failed(user, req.remoteAddr);
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
    core.setCookie(res, kSessionCookie, (*s)->id, -1);
    res.redirect("/");
}

void logoutSubmit(RouteCall& call)
{
    call.core.close(call.session);
    call.core.setCookie(call.response, kSessionCookie, "", 0);
    call.response.redirect("/login");
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
        sendJson(res, {{"error", "too many failed logins; wait a few minutes"}}, 429);
        return;
    }
    if (!checkPassword(core.options().usersFile, user, body["password"])) {
        core.limiter().failed(user, req.remoteAddr);
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
    core.setCookie(res, kSessionCookie, (*s)->id, -1);
    sendJson(res, {{"csrf", (*s)->csrf}, {"user", (*s)->user}});
}

void apiLogout(RouteCall& call)
{
    call.core.close(call.session);
    call.core.setCookie(call.response, kSessionCookie, "", 0);
    sendJson(call.response, {{"closed", true}});
}

} // namespace console
