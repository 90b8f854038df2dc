// The console's own logic without a server: the decoding of form bodies,
// the lockout after failed logins, and the metrics' text format (read back
// by Prometheus's own parser, as a scraper reads it).
#include "consoleauth.h"
#include "consolemetrics.h"
#include "httpendpoint.h"

#include "zortest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

using namespace console;

TEST(ConsoleHttp, FormTextAndCookiesDecode)
{
    HttpParams p;
    parseUrlEncoded("a=1+2&b=%3C%2f%3E&c&=x&d=%zz%4&&a=3", &p);
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs expected = {{"", "x"}, {"a", "1 2"}, {"a", "3"}, {"b", "</>"}, {"c", ""}, {"d", "%zz%4"}};
    EXPECT_EQ(Pairs(p.begin(), p.end()), expected);

    HttpRequest r;
    r.query = {{"csrf", "from-url"}, {"q", "1"}};
    r.form = {{"csrf", "from-form"}, {"f", "2"}};
    EXPECT_EQ(r.param("csrf"), "from-url");
    EXPECT_EQ(r.param("f"), "2");
    EXPECT_EQ(r.formField("csrf"), "from-form");
    EXPECT_EQ(r.formField("q"), "");
    // Cookies by their exact name only.
    r.headers = {{"cookie", "zorconsole_login=L; zorconsole=S;  other=x=y"}};
    EXPECT_EQ(r.cookie("zorconsole"), "S");
    EXPECT_EQ(r.cookie("zorconsole_login"), "L");
    EXPECT_EQ(r.cookie("other"), "x=y");
    EXPECT_EQ(r.cookie("zor"), "");
    EXPECT_EQ(r.cookie("console"), "");
}

TEST(ConsoleAuth, LockoutHoldsOneNameFromOneAddress)
{
    LoginLimiter limiter(2, std::chrono::seconds(300), 3);
    limiter.failed("admin", "127.0.0.1");
    EXPECT_FALSE(limiter.blocked("admin", "127.0.0.1"));
    limiter.failed("admin", "127.0.0.1");
    EXPECT_TRUE(limiter.blocked("admin", "127.0.0.1"));
    EXPECT_FALSE(limiter.blocked("operator", "127.0.0.1"));
    EXPECT_FALSE(limiter.blocked("admin", "::1"));
    // A long name is cut to the same record as its first 256 characters.
    std::string longName(256, 'x');
    limiter.failed(longName + "a", "10.0.0.1");
    limiter.failed(longName + "b", "10.0.0.1");
    EXPECT_TRUE(limiter.blocked(longName + "c", "10.0.0.1"));
    // Three records fill the table: a fourth pushes out the stalest.
    limiter.failed("operator", "127.0.0.1");
    limiter.failed("guest", "127.0.0.1");
    EXPECT_FALSE(limiter.blocked("admin", "127.0.0.1"));
    EXPECT_TRUE(limiter.blocked(longName, "10.0.0.1"));
    limiter.succeeded(longName, "10.0.0.1");
    EXPECT_FALSE(limiter.blocked(longName, "10.0.0.1"));
}

TEST(ConsoleMetrics, FamiliesWriteTheirHeadOnceAndEscapeLabelValues)
{
    EXPECT_EQ(escapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    std::vector<MetricFamily> families = {
        {"m_total", "counter", "Counted\nby \\ kind.", {}},
        {"m_empty", "gauge", "Nothing yet.", {}},
    };
    families[0].add(3UL, {{"kind", "a\"b"}, {"where", "x\\y"}}).add(4, {{"kind", "two\nlines"}}).add(true);
    EXPECT_EQ(exposition(families),
              "# HELP m_total Counted\\nby \\\\ kind.\n# TYPE m_total counter\n"
              "m_total{kind=\"a\\\"b\",where=\"x\\\\y\"} 3\n"
              "m_total{kind=\"two\\nlines\"} 4\n"
              "m_total 1\n"
              "# HELP m_empty Nothing yet.\n# TYPE m_empty gauge\n");
}

/// What Prometheus's text parser reads from text: one line per sample,
/// "name labels-as-json value", or the parser's complaint.
std::string parsedByPrometheus(const std::string& text)
{
    zortest::TempRoot root;
    root.write("metrics.txt", text);
    std::string command = "/usr/bin/python3 -c 'import json, sys\n"
                          "from prometheus_client.parser import text_string_to_metric_families as read\n"
                          "for f in read(open(sys.argv[1]).read()):\n"
                          "    print(\"family\", f.name, f.type)\n"
                          "    for s in f.samples: print(s.name, json.dumps(s.labels, sort_keys=True), float(s.value))"
                          "' " + root.at("metrics.txt") + " 2>&1";
    std::string out;
    char buffer[4096];
    FILE* p = popen(command.c_str(), "r");
    for (size_t n; p != nullptr && (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    if (p != nullptr) pclose(p);
    return out;
}

TEST(ConsoleMetrics, TheConsolesFamiliesFromOneSnapshotAsPrometheusReadsThem)
{
    const std::string odd = "odd \"name\" \\ with\nbreak";
    MetricsSnapshot in;
    in.values = {{"cpu", 8.5}, {odd, -2}};
    zormon::MonitorThreadStatus& st = in.status;
    st.running = true;
    st.entries = 3;
    st.samples = 120;
    st.unavailable = 2;
    st.performed = 5;
    st.udpSent = 1, st.trapsSent = 2, st.mailSent = 3;
    st.actionFailures = {{"email", 4}};
    st.alerts = {{{"cpu", "log"}, 5}, {{odd, "udp"}, 1}};
    st.lastLoad = 1709251200;
    st.configurationProblem = "Monitor.cfg: bad";
    in.socketSessions = 1, in.consoleSessions = 2;
    in.moduleParserOk = true;
    for (const auto& [condition, state, silence] :
         {std::tuple{"exceeds 8", zormon::AlertState::firing, ""}, std::tuple{"exceeds 9", zormon::AlertState::firing, "s1"},
          std::tuple{"exceeds 10", zormon::AlertState::pending, "s1"},
          std::tuple{"exceeds 11", zormon::AlertState::inactive, ""}}) {
        zormon::AlertView v;
        v.alert.variable = "cpu";
        v.alert.condition = condition;
        v.alert.state = state;
        v.silencedBy = silence;
        in.alerts.push_back(v);
    }
    st.notifications = {{{"email", "silenced"}, 2}};
    zormon::ManagerStatus manager;
    manager.url = "http://127.0.0.1:9093";
    manager.up = false, manager.pushes = 4, manager.failures = 1, manager.waiting = 3;
    in.managers = {manager};
    std::string text = exposition(consoleMetrics(in));
    for (const char* line : {
             "zor_variable_value{variable=\"cpu\"} 8.5\n",
             "zor_variable_value{variable=\"odd \\\"name\\\" \\\\ with\\nbreak\"} -2\n",
             "zor_monitor_running 1\n",
             "zor_monitor_entries 3\n",
             "zor_monitor_samples_total 120\n",
             "zor_monitor_unavailable_total 2\n",
             "zor_monitor_actions_performed_total 5\n",
             "zor_monitor_actions_sent_total{action=\"udp\"} 1\n",
             "zor_monitor_actions_sent_total{action=\"trap\"} 2\n",
             "zor_monitor_actions_sent_total{action=\"email\"} 3\n",
             "zor_monitor_actions_failed_total{action=\"log\"} 0\n",
             "zor_monitor_actions_failed_total{action=\"email\"} 4\n",
             "zor_monitor_actions_failed_total{action=\"power-off-drive\"} 0\n",
             "zor_monitor_alerts_total{variable=\"cpu\",action=\"log\"} 5\n",
             "zor_sessions_open{client=\"socket\"} 1\n",
             "zor_sessions_open{client=\"console\"} 2\n",
             "zor_monitor_config_last_load_timestamp_seconds 1709251200\n",
             "zor_monitor_config_load_ok 0\n",
             "zor_module_xml_parser_ok 1\n",
             "zor_monitor_alert_state{variable=\"cpu\",condition=\"exceeds 8\"} 1\n",
             "zor_monitor_alert_state{variable=\"cpu\",condition=\"exceeds 9\"} 2\n",
             "zor_monitor_alert_state{variable=\"cpu\",condition=\"exceeds 10\"} 0\n",
             "zor_monitor_notifications_total{channel=\"email\",outcome=\"silenced\"} 2\n",
             "zor_alertmanager_up{url=\"http://127.0.0.1:9093\"} 0\n",
             "zor_alertmanager_pushes_total{url=\"http://127.0.0.1:9093\"} 4\n",
             "zor_alertmanager_failures_total{url=\"http://127.0.0.1:9093\"} 1\n",
             "zor_alertmanager_waiting_alerts{url=\"http://127.0.0.1:9093\"} 3\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(text.find("logged_today"), std::string::npos);
    // An inactive alert gets no series: a large table's would drown the rest.
    EXPECT_EQ(text.find("exceeds 11"), std::string::npos);
    // Each family's HELP and TYPE once, before its samples.
    for (const MetricFamily& f : consoleMetrics(in)) {
        std::string help = "# HELP " + f.name + " ";
        size_t at = text.find(help);
        ASSERT_NE(at, std::string::npos) << f.name;
        EXPECT_EQ(text.find(help, at + 1), std::string::npos) << f.name;
        EXPECT_EQ(text.find("# TYPE " + f.name + " "), text.find('\n', at) + 1) << f.name;
    }

    std::string parsed = parsedByPrometheus(text);
    for (const char* line : {
             "family zor_variable_value gauge\n",
             "zor_variable_value {\"variable\": \"odd \\\"name\\\" \\\\ with\\nbreak\"} -2.0\n",
             "family zor_monitor_alerts counter\n",
             "zor_monitor_alerts_total {\"action\": \"udp\", \"variable\": \"odd \\\"name\\\" \\\\ with\\nbreak\"} 1.0\n",
             "zor_monitor_actions_failed_total {\"action\": \"email\"} 4.0\n",
             "zor_monitor_config_last_load_timestamp_seconds {} 1709251200.0\n",
         }) {
        EXPECT_NE(parsed.find(line), std::string::npos) << line << "\nin:\n" << parsed;
    }
    EXPECT_EQ(parsed.find("Traceback"), std::string::npos) << parsed;
    // An empty family is still a family.
    EXPECT_NE(parsedByPrometheus(exposition(consoleMetrics({}))).find("family zor_monitor_alerts counter\n"),
              std::string::npos);
}
