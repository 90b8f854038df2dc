// The console's route table run without a socket: which requests reach a
// handler at all (path, method, login, token, JSON body), the login form's
// own token, the log routes, and who may read the metrics. Nothing here
// needs the module: every case is answered before a module session opens.
#include "consolecore.h"
#include "consoleroutes.h"
#include "monitorthread.h"

#include "zortest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

using namespace console;
using json = nlohmann::json;

namespace {

class ConsoleRoutes : public ::testing::Test {
protected:
    ConsoleRoutes()
    {
        setenv("ZOR_ROOT", _root.path().c_str(), 1);
        _root.write("var/log/monitor/d20240301.log",
                    "2024-03-01 00:00:00 sample cpu=8.6 load-average=0.41\n"
                    "2024-03-01 00:30:00 sample cpu=9.5 load-average=0.46\n");
        zormon::MonitorThreadOptions o;
        o.systemRoot = _root.at("machine");
        o.hostLog = [](const std::string&) {};
        _thread = std::make_unique<zormon::MonitorThread>(o);
        ConsoleOptions options;
        options.logFolder = _root.at("var/log/monitor/");
        options.usersFile = _root.at("etc/configs/monitor/console.users");
        options.loginsPerUser = 2;
        options.loginsInAll = 3;
        Cidr local;
        parseCidr("127.0.0.0/8", &local);
        options.metricsAllow = {local};
        _core = std::make_unique<ConsoleCore>(_module, _mutex, *_thread, [] { return 2u; }, options);
        installRoutes(_router, *_core);
    }
    ~ConsoleRoutes() override
    {
        _core.reset();
        _thread.reset();
        unsetenv("ZOR_ROOT");
    }

    /// A request from 10.1.1.1, with the login's cookie and a token when given.
    HttpRequest request(const std::string& method, const std::string& target, const WebSession* login = nullptr,
                        const std::string& token = "")
    {
        HttpRequest r;
        r.method = method;
        size_t question = target.find('?');
        r.path = target.substr(0, question);
        if (question != std::string::npos) {
            parseUrlEncoded(target.substr(question + 1), &r.query);
        }
        r.remoteAddr = "10.1.1.1";
        if (login != nullptr) {
            r.headers.emplace_back("Cookie", std::string("other=1; ") + kSessionCookie + "=" + login->id);
        }
        if (!token.empty()) r.headers.emplace_back("x-csrf-token", token);
        return r;
    }
    HttpResponse send(const std::string& method, const std::string& target, const WebSession* login = nullptr,
                      const std::string& token = "", const std::string& body = "")
    {
        HttpRequest r = request(method, target, login, token);
        r.body = body;
        return _router.dispatch(r);
    }
    std::shared_ptr<WebSession> login(const std::string& user = "admin")
    {
        int status = 0;
        auto s = _core->login(user, &status);
        EXPECT_TRUE(s.hasValue());
        return s ? *s : nullptr;
    }

    zortest::TempRoot _root;
    ModuleLibrary _module; // never loaded: no case may reach it
    FairMutex _mutex;
    std::unique_ptr<zormon::MonitorThread> _thread;
    std::unique_ptr<ConsoleCore> _core;
    HttpRouter _router;
};

/// A path that a route's pattern matches.
std::string concrete(const std::string& pattern)
{
    for (const auto& [group, example] : {std::make_pair("([^/]+)", "d20240301"), std::make_pair("([0-9]{1,9})", "3")}) {
        const size_t at = pattern.find(group);
        if (at != std::string::npos) {
            return pattern.substr(0, at) + example + pattern.substr(at + std::string(group).size());
        }
    }
    return pattern;
}

} // namespace

TEST_F(ConsoleRoutes, OnlyKnownPathsAndMethodsReachAHandler)
{
    // No route: 404; a route of another method: 405 naming the table's methods.
    for (const auto& [method, path, status, allow] : std::vector<std::tuple<std::string, std::string, int, std::string>>{
             {"GET", "/nowhere", 404, ""}, {"GET", "/api/nowhere", 404, ""}, {"GET", "/loginx", 404, ""},
             {"GET", "/api/logs/a/b", 404, ""}, {"GET", "/api/logs/", 404, ""}, {"GET", "/entries/", 404, ""},
             {"GET", "/api/commit", 405, "POST"}, {"POST", "/api/entries", 405, "GET"},
             {"DELETE", "/api/entries", 405, "GET"}, {"POST", "/metrics", 405, "GET"},
             {"DELETE", "/api/silences", 405, "GET, POST"}, {"PUT", "/alerts", 405, "GET, POST"},
             {"GET", "/api/silences/s1", 405, "DELETE"}}) {
        SCOPED_TRACE(method + " " + path);
        HttpResponse res = send(method, path);
        EXPECT_EQ(res.status, status);
        EXPECT_EQ(res.header("Allow"), allow);
        const std::string said = status == 404 ? "no such path: " + path : path + " takes " + allow + ", not " + method;
        if (path.rfind("/api/", 0) == 0) {
            EXPECT_EQ(res.contentType, "application/json");
            EXPECT_EQ(json::parse(res.body)["error"], said);
        } else {
            EXPECT_EQ(res.contentType, "text/html; charset=utf-8");
            EXPECT_NE(res.body.find("<p class=\"warn\" id=\"message\">" + said + "</p>"), std::string::npos);
        }
        // The server's own answers carry the same headers as a handler's.
        EXPECT_EQ(res.header("X-Frame-Options"), "DENY");
        EXPECT_EQ(res.header("Cache-Control"), "no-store");
        EXPECT_EQ(res.header("Referrer-Policy"), "no-referrer");
    }
    HttpResponse script = send("GET", "/console.js");
    EXPECT_EQ(script.status, 200);
    EXPECT_EQ(script.contentType, "text/javascript");
    EXPECT_NE(script.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(script.header("Referrer-Policy"), "no-referrer");
}

TEST_F(ConsoleRoutes, EveryRouteButLoginAndStaticOnesNeedsALogin)
{
    for (const ConsoleRoute& route : consoleRoutes()) {
        const std::string path = concrete(route.path);
        HttpResponse res = send(route.method, path);
        SCOPED_TRACE(std::string(route.method) + " " + path);
        if (route.access == Access::open) {
            EXPECT_NE(res.status, 401);
            EXPECT_NE(res.header("Location"), "/login");
            continue;
        }
        if (route.audience == Audience::api) {
            EXPECT_EQ(res.status, 401);
            EXPECT_EQ(json::parse(res.body)["error"], "log in first: POST /api/login");
        } else {
            EXPECT_EQ(res.status, 302);
            EXPECT_EQ(res.header("Location"), "/login");
        }
    }
    // A cookie of a login that has ended is no login.
    auto s = login();
    _core->close(s);
    EXPECT_EQ(send("GET", "/api/logs", s.get()).status, 401);
}

TEST_F(ConsoleRoutes, EveryWriteButTheLoginsNeedsTheToken)
{
    auto s = login(), other = login("operator");
    for (const ConsoleRoute& route : consoleRoutes()) {
        if (std::string(route.method) == "GET") continue;
        std::string path = concrete(route.path);
        if (path == "/login" || path == "/api/login") {
            EXPECT_EQ(route.access, Access::open);
            continue;
        }
        EXPECT_EQ(route.access, Access::loginAndToken) << path;
        // Neither missing, nor in the URL, nor wrong, nor another login's.
        for (const auto& [target, token] : std::vector<std::pair<std::string, std::string>>{
                 {path, ""}, {path + "?csrf=" + s->csrf, ""}, {path, s->csrf + "0"}, {path, other->csrf}}) {
            SCOPED_TRACE(target + " " + token);
            HttpResponse res = send(route.method, target, s.get(), token);
            EXPECT_EQ(res.status, 403);
            if (route.audience == Audience::api) {
                EXPECT_EQ(json::parse(res.body)["error"], "missing or wrong X-CSRF-Token");
            } else {
                EXPECT_NE(res.body.find("it carried no valid token"), std::string::npos);
            }
        }
    }
    EXPECT_EQ(_core->openLogins(), 2u);
}

TEST_F(ConsoleRoutes, AnApiWriteTakesOnlyAJsonObject)
{
    auto s = login();
    const std::string notAnObject = "the body is not a JSON object";
    for (const auto& [path, body, error] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"/api/try", "[1]", notAnObject},
             {"/api/try", "{", notAnObject},
             {"/api/try", "\"text\"", notAnObject},
             {"/api/try", "3", notAnObject},
             {"/api/try", R"({"day":"d20240301","trigger":"<x"})", "trigger: expected one action-trigger text"},
             {"/api/request", R"({"op":"get","key":5})", ""},
             {"/api/request", R"({"op":"get"})", ""},
             {"/api/request", R"({"op":"nope","key":"/x/"})", ""}}) {
        HttpResponse res = send("POST", path, s.get(), s->csrf, body);
        EXPECT_EQ(res.status, 400) << body;
        json said = json::parse(res.body)["error"];
        EXPECT_TRUE(said.is_string()) << body;
        EXPECT_EQ(said, error.empty() ? said : json(error));
    }
}

TEST_F(ConsoleRoutes, AnEditWithProblemsIsRefusedWith422BeforeTheModule)
{
    auto s = login();
    const std::string keys = "/zor/public/system/monitor/config/";
    const std::string trigger = "<action-trigger value-type=\"instantaneous\" permanent=\"false\"><single-value "
                                "comparison=\"greater-than\" value=\"five hundred MiB\"/><action max-frequency=\"0\">"
                                "<email>not an address</email></action></action-trigger>";
    const std::string entry = "<monitor-entry variable=\"cpu\" log=\"true\"><frequency><seconds>60</seconds>"
                              "</frequency>" + trigger + "</monitor-entry>";
    for (const auto& [op, key, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"add", keys + "monitor-entry/", entry},
             {"set", keys + "monitor-entry/0/", "0/" + entry},
             {"add", keys + "action-trigger/0/", "0/" + trigger},
             {"set", keys + "action-trigger/0/1/", "0/1/" + trigger}}) {
        SCOPED_TRACE(op + " " + key);
        HttpResponse res = send("POST", "/api/request", s.get(), s->csrf, json{{"op", op}, {"key", key}, {"value", value}}.dump());
        ASSERT_EQ(res.status, 422);
        json said = json::parse(res.body);
        EXPECT_TRUE(said["error"].is_string());
        ASSERT_EQ(said["problems"].size(), 2u);
        EXPECT_EQ(said["problems"][0]["field"], "value");
        EXPECT_EQ(said["problems"][1]["field"], "email");
        EXPECT_NE(said["problems"][1]["message"].get<std::string>().find("not an address"), std::string::npos);
    }
    // Nothing reached the module: no module session was opened.
    EXPECT_EQ(_core->moduleSessions(), 0u);
}

TEST_F(ConsoleRoutes, LoginsAndLogouts)
{
    // The form's token comes with the form, as a cookie of its own.
    HttpResponse form = send("GET", "/login?error=%3Cb%3E");
    EXPECT_EQ(form.status, 200);
    const std::string loginCookie = std::string(kLoginCookie) + "=", cookie = form.header("Set-Cookie");
    ASSERT_EQ(cookie.rfind(loginCookie, 0), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly; SameSite=Strict; Max-Age=600"), std::string::npos);
    EXPECT_EQ(cookie.find("Secure"), std::string::npos);
    EXPECT_NE(form.body.find("&lt;b&gt;"), std::string::npos);
    EXPECT_EQ(form.body.find("<b>"), std::string::npos);
    std::string token = cookie.substr(loginCookie.size(), cookie.find(';') - loginCookie.size());

    HttpRequest post = request("POST", "/login");
    post.form = {{"csrf", token}, {"user", "admin"}, {"password", "x"}};
    EXPECT_EQ(_router.dispatch(post).status, 403); // no cookie: the token proves nothing
    post.headers = {{"Cookie", loginCookie + token}};
    HttpResponse wrong = _router.dispatch(post); // no users file: no password matches
    EXPECT_EQ(wrong.status, 403);
    EXPECT_NE(wrong.body.find("Wrong name or password."), std::string::npos);
    EXPECT_EQ(send("POST", "/api/login", nullptr, "", R"({"user":"admin"})").status, 400);
    HttpResponse api = send("POST", "/api/login", nullptr, "", R"({"user":"admin","password":"x"})");
    EXPECT_EQ(api.status, 403);
    EXPECT_EQ(json::parse(api.body)["error"], "wrong name or password");

    // The caps: two per user, three in all.
    auto a = login(), b = login(), c = login("operator");
    for (const auto& [user, code, text] : {std::tuple{"admin", 429, "too many logins for this user: 2 are open"},
                                           std::tuple{"guest", 503, "the console has 3 logins open, the most it serves"}}) {
        int status = 0;
        auto refused = _core->login(user, &status);
        ASSERT_FALSE(refused) << user;
        EXPECT_EQ(status, code);
        EXPECT_EQ(refused.error().rfind(text, 0), 0u) << refused.error();
    }

    HttpResponse out = send("POST", "/api/logout", a.get(), a->csrf);
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(json::parse(out.body)["closed"], true);
    EXPECT_NE(out.header("Set-Cookie").find(std::string(kSessionCookie) + "=; "), std::string::npos);
    EXPECT_EQ(send("GET", "/api/logs", a.get()).status, 401);
    EXPECT_EQ(send("GET", "/api/logs", b.get()).status, 200);
    HttpRequest logout = request("POST", "/logout", b.get());
    logout.form = {{"csrf", b->csrf}};
    HttpResponse page = _router.dispatch(logout);
    EXPECT_EQ(page.status, 302);
    EXPECT_EQ(page.header("Location"), "/login?out=1");
    EXPECT_EQ(_core->openLogins(), 1u);
    EXPECT_NE(_router.dispatch(request("GET", "/login?out=1")).body.find("You are logged out."), std::string::npos);
}

TEST_F(ConsoleRoutes, LogsByNameOnly)
{
    auto s = login();
    HttpResponse list = send("GET", "/api/logs", s.get());
    EXPECT_EQ(json::parse(list.body), json::array({"d20240301"}));
    HttpResponse text = send("GET", "/api/logs/d20240301", s.get());
    EXPECT_EQ(text.status, 200);
    EXPECT_EQ(text.body.substr(0, 19), "2024-03-01 00:00:00");
    HttpResponse samples = send("GET", "/api/samples?day=d20240301&var=load-average", s.get());
    EXPECT_EQ(json::parse(samples.body),
              json::parse(R"([{"time":"2024-03-01 00:00:00","value":"0.41"},{"time":"2024-03-01 00:30:00","value":"0.46"}])"));
    // Paged, the filter first.
    json page = json::parse(send("GET", "/api/logs/d20240301?filter=sample&offset=1&limit=1", s.get()).body);
    EXPECT_EQ(page["total"], 2);
    EXPECT_EQ(page["lines"], json::array({"2024-03-01 00:30:00 sample cpu=9.5 load-average=0.46"}));
    EXPECT_EQ(json::parse(send("GET", "/api/logs/d20240301?filter=cpu%3D8", s.get()).body)["total"], 1);
    EXPECT_EQ(json::parse(send("GET", "/api/logs?limit=5", s.get()).body)["logs"], json::array({"d20240301"}));
    std::string lines = send("GET", "/logs?name=d20240301&filter=sample&offset=1&limit=1", s.get()).body;
    EXPECT_NE(lines.find("<pre id=\"log\">2024-03-01 00:30:00 sample cpu=9.5 load-average=0.46\n</pre>"),
              std::string::npos) << lines;
    EXPECT_NE(lines.find("Lines 2-2 of 2. <a href=\"/logs?name=d20240301&amp;filter=sample&amp;offset=0&amp;limit=1\""),
              std::string::npos) << lines;
    // A variable of the catalogue that the day did not sample has none; one
    // that neither knows is a mistake.
    EXPECT_EQ(send("GET", "/api/samples?day=d20240301&var=temperature", s.get()).body, "[]");
    HttpResponse unknown = send("GET", "/api/samples?day=d20240301&var=nope", s.get());
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(json::parse(unknown.body)["error"], "unknown variable: nope");
    for (const char* target : {"/api/logs/..", "/api/logs/d20240302", "/api/logs/d20240301.log", "/api/logs/%2e%2e",
                               "/api/samples?day=../etc&var=cpu", "/logs/download?name=.."}) {
        EXPECT_EQ(send("GET", target, s.get()).status, 404) << target;
    }
    HttpResponse download = send("GET", "/logs/download?name=d20240301", s.get());
    EXPECT_EQ(download.header("Content-Disposition"), "attachment; filename=\"d20240301.log\"");
}

TEST_F(ConsoleRoutes, MetricsForAllowedAddressesOrALogin)
{
    HttpResponse refused = send("GET", "/metrics");
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, "metrics: this address may not read them without a login\n");
    HttpRequest fromLocal = request("GET", "/metrics");
    fromLocal.remoteAddr = "127.0.0.5";
    HttpResponse local = _router.dispatch(fromLocal);
    EXPECT_EQ(local.status, 200);
    EXPECT_EQ(local.contentType, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(local.body.find("zor_sessions_open{client=\"socket\"} 2\n"), std::string::npos);
    EXPECT_NE(local.body.find("zor_sessions_open{client=\"console\"} 0\n"), std::string::npos);
    EXPECT_EQ(local.body.find("zor_monitor_alerts_logged_today"), std::string::npos);
    auto s = login();
    EXPECT_EQ(send("GET", "/metrics", s.get()).status, 200);
}

TEST(ConsoleRouter, AThrowingHandlerAnswers500)
{
    HttpRouter router;
    router.get("/boom", [](const HttpRequest&, HttpResponse&) { throw std::runtime_error("no disk"); });
    router.get("/odd", [](const HttpRequest&, HttpResponse&) { throw 7; });
    router.get("/item/([0-9]+)", [](const HttpRequest& req, HttpResponse& res) { res.body = req.matches[1]; });
    router.setExceptionHandler([](const HttpRequest&, HttpResponse& res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            res.body = e.what();
        }
    });
    router.setPostRoutingHandler([](const HttpRequest&, HttpResponse& res) { res.setHeader("X-Seen", "1"); });
    HttpRequest r;
    r.method = "GET";
    r.path = "/boom";
    HttpResponse res = router.dispatch(r);
    EXPECT_EQ(res.status, 500);
    EXPECT_EQ(res.body, "no disk");
    EXPECT_EQ(res.header("x-seen"), "1");
    r.path = "/odd"; // the exception handler throws in turn: still a 500
    EXPECT_EQ(router.dispatch(r).status, 500);
    r.path = "/item/42";
    EXPECT_EQ(router.dispatch(r).body, "42");
    r.path = "/item/42x";
    EXPECT_EQ(router.dispatch(r).status, 404);
}
