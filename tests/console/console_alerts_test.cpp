// The Alerts page, the API's alerts and silences and the alert metrics,
// through the route table against a monitor thread on a virtual clock whose
// one alert fires: what each answer says and what it changes in the thread.
#include "consolecore.h"
#include "consoleroutes.h"
#include "monitorthread.h"

#include "zortest.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace console;
using json = nlohmann::json;

namespace {

std::time_t gNow = 0;

class VirtualClock : public zormon::MonitorClock {
public:
    std::time_t now() const override { return gNow; }
};

class ConsoleAlerts : public ::testing::Test {
protected:
    ConsoleAlerts()
    {
        setenv("ZOR_ROOT", _root.path().c_str(), 1);
        gNow = std::time(nullptr); // the page's history reads the days up to today
        _root.write("etc/configs/monitor/Monitor.cfg",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<monitor-config><monitor-entry variable=\"probe\" "
                    "log=\"false\"><frequency><seconds>1</seconds></frequency><action-trigger><single-value "
                    "comparison=\"greater-than\" value=\"500\"/><action max-frequency=\"0\"><log/></action>"
                    "</action-trigger></monitor-entry></monitor-config>\n");
        zormon::MonitorThreadOptions o;
        o.clock = std::make_shared<VirtualClock>();
        o.systemRoot = _root.at("machine");
        o.hostLog = [](const std::string&) {};
        o.samplers["probe"] = [this](std::string* value) {
            *value = _value;
            return true;
        };
        _thread = std::make_unique<zormon::MonitorThread>(o);
        ConsoleOptions options;
        options.logFolder = _root.at("var/log/monitor/");
        Cidr local;
        parseCidr("127.0.0.0/8", &local);
        options.metricsAllow = {local};
        _core = std::make_unique<ConsoleCore>(_module, _mutex, *_thread, [] { return 0u; }, options);
        installRoutes(_router, *_core);
        int refused = 0;
        _session = *_core->login("admin", &refused);
        sample("900");
    }
    ~ConsoleAlerts() override
    {
        _core.reset();
        _thread.reset();
        unsetenv("ZOR_ROOT");
    }

    void sample(const std::string& value)
    {
        _value = value;
        ++gNow;
        _thread->tick();
    }
    HttpResponse send(const std::string& method, const std::string& path, const std::string& body = "")
    {
        HttpRequest r;
        r.method = method;
        r.path = path;
        r.remoteAddr = "127.0.0.1";
        r.headers.emplace_back("Cookie", std::string(kSessionCookie) + "=" + _session->id);
        r.headers.emplace_back("X-CSRF-Token", _session->csrf);
        r.body = body;
        return _router.dispatch(r);
    }
    /// The Alerts form posted; the page it leads to.
    std::string post(const HttpParams& fields)
    {
        HttpRequest r;
        r.method = "POST";
        r.path = "/alerts";
        r.headers.emplace_back("Cookie", std::string(kSessionCookie) + "=" + _session->id);
        r.form = fields;
        r.form.emplace("csrf", _session->csrf);
        HttpResponse res = _router.dispatch(r);
        EXPECT_EQ(res.status, 302);
        EXPECT_EQ(res.header("Location"), "/alerts");
        return send("GET", "/alerts").body;
    }
    std::string name()
    {
        json alerts = json::parse(send("GET", "/api/alerts").body)["alerts"];
        EXPECT_EQ(alerts.size(), 1u);
        return alerts.empty() ? "" : alerts[0]["name"].get<std::string>();
    }
    std::string stateMetric()
    {
        const std::string text = send("GET", "/metrics").body;
        const std::string prefix = "zor_monitor_alert_state{variable=\"probe\",condition=\"";
        const size_t at = text.find(prefix);
        return at == std::string::npos ? "none" : text.substr(text.find("} ", at) + 2, 1);
    }

    zortest::TempRoot _root;
    std::string _value;
    ModuleLibrary _module; // never loaded: alerts need no module session
    FairMutex _mutex;
    std::unique_ptr<zormon::MonitorThread> _thread;
    std::unique_ptr<ConsoleCore> _core;
    HttpRouter _router;
    std::shared_ptr<WebSession> _session;
};

} // namespace

TEST_F(ConsoleAlerts, ApiSilencesAcknowledgesAndTheMetricFollows)
{
    const std::string alert = name();
    EXPECT_EQ(alert.rfind("probe ", 0), 0u) << alert;
    EXPECT_EQ(json::parse(send("GET", "/api/alerts").body)["alerts"][0]["state"], "firing");
    EXPECT_EQ(stateMetric(), "1");

    for (const char* body : {R"({"matcher":"probe","for":"soon","comment":"x"})", R"({"matcher":5,"for":"2h"})",
                             R"({"matcher":"nothing","for":"2h","comment":"x"})"}) {
        HttpResponse res = send("POST", "/api/silences", body);
        EXPECT_EQ(res.status, 400) << body;
        EXPECT_TRUE(json::parse(res.body)["error"].is_string()) << body;
    }
    EXPECT_EQ(json::parse(send("GET", "/api/silences").body)["silences"], json::array());

    HttpResponse added = send("POST", "/api/silences", R"({"matcher":"probe","for":"2h","comment":"disk swap"})");
    ASSERT_EQ(added.status, 201) << added.body;
    json silence = json::parse(added.body)["silence"];
    EXPECT_EQ(silence["id"], "s1");
    EXPECT_EQ(silence["author"], "admin");
    EXPECT_EQ(silence["ends"].get<long>() - silence["starts"].get<long>(), 7200);
    EXPECT_EQ(json::parse(send("GET", "/api/silences").body)["silences"][0]["comment"], "disk swap");
    sample("950");
    EXPECT_EQ(json::parse(send("GET", "/api/alerts").body)["alerts"][0]["silencedBy"], "s1");
    EXPECT_EQ(stateMetric(), "2");

    EXPECT_EQ(send("POST", "/api/alerts", R"({"acknowledge":"nothing"})").status, 404);
    EXPECT_EQ(send("POST", "/api/alerts", R"({"ack":"probe"})").status, 400);
    HttpResponse acknowledged = send("POST", "/api/alerts", R"({"acknowledge":"probe"})");
    EXPECT_EQ(acknowledged.status, 200);
    EXPECT_EQ(json::parse(acknowledged.body), json({{"acknowledged", alert}}));

    HttpResponse removed = send("DELETE", "/api/silences/s1");
    EXPECT_EQ(removed.status, 200);
    EXPECT_EQ(json::parse(removed.body), json({{"removed", "s1"}}));
    EXPECT_EQ(send("DELETE", "/api/silences/s1").status, 404);
    EXPECT_EQ(stateMetric(), "1");

    sample("100"); // resolved
    EXPECT_EQ(stateMetric(), "0");
}

TEST_F(ConsoleAlerts, ThePageShowsFiringAlertsSilencesAndTheWeek)
{
    const std::string alert = name();
    std::string page = send("GET", "/alerts").body;
    const size_t firing = page.find("<table id=\"firing\">");
    ASSERT_NE(firing, std::string::npos) << page;
    EXPECT_NE(page.find("<td class=\"name\">" + alert + "</td>", firing), std::string::npos);
    EXPECT_NE(page.find("value=\"silence\">Silence</button>", firing), std::string::npos);
    // The alert line of today's log, in the week's history.
    const size_t history = page.find("<pre id=\"history\">");
    ASSERT_NE(history, std::string::npos) << page;
    EXPECT_NE(page.find(" alert ", history), std::string::npos);
    const std::string one = alertsPage(*_core, *_session, "0", "1");
    EXPECT_NE(one.find("id=\"history-paging\">Lines 1-1 of "), std::string::npos) << one;

    page = post({{"do", "silence"}, {"matcher", alert}, {"for", "7d"}, {"comment", "<b>swap</b>"}});
    EXPECT_NE(page.find("id=\"flash\">silence s1: " + alert + " until "), std::string::npos) << page;
    EXPECT_NE(page.find("<td>&lt;b&gt;swap&lt;/b&gt;</td><td>admin</td>"), std::string::npos) << page;
    EXPECT_EQ(page.find("<b>swap"), std::string::npos);
    EXPECT_NE(page.find("<td class=\"notes\">silenced by s1</td>"), std::string::npos);
    ASSERT_EQ(_thread->silences().size(), 1u);
    EXPECT_EQ(_thread->silences()[0].ends - _thread->silences()[0].starts, 7 * 86400);

    page = post({{"do", "acknowledge"}, {"matcher", alert}});
    EXPECT_NE(page.find("acknowledged " + alert), std::string::npos);
    EXPECT_NE(page.find("silenced by s1, acknowledged by admin"), std::string::npos);

    page = post({{"do", "remove"}, {"id", "s1"}});
    EXPECT_NE(page.find("removed silence s1"), std::string::npos);
    EXPECT_NE(page.find("id=\"no-silences\""), std::string::npos);
    page = post({{"do", "remove"}, {"id", "s1"}});
    EXPECT_NE(page.find("remove silence s1: "), std::string::npos);
}
