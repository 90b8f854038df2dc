// /metrics: open to the address ranges of --metrics-allow, and to a login
// from anywhere else.
#include "consolemetrics.h"
#include "consoleroutes.h"

#include "monitorlogic.h"
#include "monitorthread.h"
#include "valuescreen.h"

#include <tuple>

namespace console {

std::vector<MetricFamily> consoleMetrics(const MetricsSnapshot& in)
{
    const zormon::MonitorThreadStatus& st = in.status;
    std::vector<MetricFamily> f;
    auto family = [&f](const char* name, const char* type, const char* help) -> MetricFamily& {
        f.push_back({name, type, help, {}});
        return f.back();
    };
    MetricFamily& values = family("zor_variable_value", "gauge", "Current value of each numeric monitored variable.");
    for (const auto& [name, number] : in.values) {
        values.add(zormon::formatNumber(number), {{"variable", name}});
    }
    family("zor_monitor_running", "gauge", "1 while the monitor thread samples.").add(st.running);
    family("zor_monitor_entries", "gauge", "Monitor entries the thread watches.").add(st.entries);
    family("zor_monitor_samples_total", "counter", "Samples taken since the daemon started.").add(st.samples);
    family("zor_monitor_unavailable_total", "counter", "Readings that gave no value.").add(st.unavailable);
    family("zor_monitor_actions_performed_total", "counter", "Trigger firings that passed the repeat limit.")
        .add(st.performed);
    family("zor_monitor_actions_sent_total", "counter", "Actions sent, by kind.")
        .add(st.udpSent, {{"action", "udp"}})
        .add(st.trapsSent, {{"action", "trap"}})
        .add(st.mailSent, {{"action", "email"}});
    MetricFamily& failed = family("zor_monitor_actions_failed_total", "counter", "Actions that failed, by kind.");
    for (const char* kind : zormon::kActionKinds) {
        const auto found = st.actionFailures.find(kind);
        failed.add(found != st.actionFailures.end() ? found->second : 0UL, {{"action", kind}});
    }
    MetricFamily& alerts = family("zor_monitor_alerts_total", "counter",
                                  "Trigger firings that passed the repeat limit, by variable and action kind.");
    for (const auto& [key, n] : st.alerts) {
        alerts.add(n, {{"variable", key.first}, {"action", key.second}});
    }
    // Only the alerts that are not inactive get a series. Every trigger of
    // every entry is an alert, so a table of 100,000 entries would give some
    // 300,000 series per scrape, nearly all of them a constant 0: more than
    // a site's Prometheus should keep for one target, and megabytes of text
    // a minute. An alert that is absent is inactive; it appears with its
    // first pending sample and stays while firing and for the week a
    // resolved alert is kept.
    MetricFamily& states =
        family("zor_monitor_alert_state", "gauge",
               "State of each alert that is not inactive (absent: inactive): 0 pending or resolved, 1 firing, 2 "
               "firing but silenced.");
    for (const zormon::AlertView& v : in.alerts) {
        if (v.alert.state == zormon::AlertState::inactive) continue;
        const bool firing = v.alert.state == zormon::AlertState::firing;
        states.add(firing ? (v.silencedBy.empty() ? 1 : 2) : 0,
                   {{"variable", v.alert.variable}, {"condition", v.alert.condition}});
    }
    MetricFamily& notifications =
        family("zor_monitor_notifications_total", "counter",
               "Alert and resolved notifications by channel and outcome: sent, failed, or why nothing was sent.");
    for (const auto& [key, n] : st.notifications) {
        notifications.add(n, {{"channel", key.first}, {"outcome", key.second}});
    }
    // One family after the other: a family is a reference into f only until the next one is made.
    using ManagerFigure = std::string (*)(const zormon::ManagerStatus&);
    const std::tuple<const char*, const char*, const char*, ManagerFigure> managerFamilies[] = {
        {"zor_alertmanager_up", "gauge", "0 when the last push to the alert manager failed.",
         [](const zormon::ManagerStatus& m) { return std::string(m.up ? "1" : "0"); }},
        {"zor_alertmanager_pushes_total", "counter", "Pushes the alert manager accepted.",
         [](const zormon::ManagerStatus& m) { return std::to_string(m.pushes); }},
        {"zor_alertmanager_failures_total", "counter", "Pushes to the alert manager that failed.",
         [](const zormon::ManagerStatus& m) { return std::to_string(m.failures); }},
        {"zor_alertmanager_waiting_alerts", "gauge", "Alerts not yet delivered to the alert manager.",
         [](const zormon::ManagerStatus& m) { return std::to_string(m.waiting); }},
    };
    for (const auto& [name, type, help, figure] : managerFamilies) {
        MetricFamily& managers = family(name, type, help);
        for (const zormon::ManagerStatus& m : in.managers) managers.add(figure(m), {{"url", m.url}});
    }
    family("zor_sessions_open", "gauge", "Module sessions open, by where their client is.")
        .add(in.socketSessions, {{"client", "socket"}})
        .add(in.consoleSessions, {{"client", "console"}});
    family("zor_monitor_config_last_load_timestamp_seconds", "gauge",
           "When the monitor thread last took up a configuration (Unix time).")
        .add(static_cast<long long>(st.lastLoad));
    family("zor_monitor_config_load_ok", "gauge", "0 when the last configuration load failed.")
        .add(st.configurationProblem.empty());
    family("zor_module_xml_parser_ok", "gauge",
           "0 once the module's XML parser refuses every document (restart zorhostd after committing).")
        .add(in.moduleParserOk);
    return f;
}

void metricsText(RouteCall& call)
{
    const HttpRequest& req = call.request;
    HttpResponse& res = call.response;
    ConsoleCore& core = call.core;
    if (!addressAllowed(req.remoteAddr, core.options().metricsAllow) && !core.current(req)) {
        res.status = 403;
        res.setContent("metrics: this address may not read them without a login\n", "text/plain");
        return;
    }
    MetricsSnapshot snapshot;
    zormon::MonitorThread& thread = core.monitor();
    for (const auto& [name, definition] : thread.variables()) {
        std::string value;
        zormon::Sample sample;
        if (thread.currentValue(name, &value) == 0 && zormon::parseSample(value, &sample) && sample.isNumber) {
            snapshot.values.emplace_back(name, sample.number);
        }
    }
    snapshot.status = thread.status();
    snapshot.alerts = thread.activeAlerts();
    snapshot.managers = thread.alertManagers();
    snapshot.socketSessions = core.socketSessions();
    snapshot.consoleSessions = core.moduleSessions();
    snapshot.moduleParserOk = valuescreen::moduleParserProblem().empty();
    res.setContent(exposition(consoleMetrics(snapshot)), "text/plain; version=0.0.4; charset=utf-8");
}

} // namespace console
