// The Alerts page's form, and the API's alerts and silences in the JSON the
// daemon's socket gives as well (alertjson.h), so that a script reads both
// alike. Silences and acknowledgements are made in the console user's name.
#include "consoleroutes.h"

#include "alertjson.h"
#include "monitorthread.h"

using json = nlohmann::json;

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";

/// The body's field name when it is a string; false when absent or not one.
bool stringField(const json& body, const char* name, std::string* out)
{
    if (!body.is_object() || !body.contains(name) || !body[name].is_string()) return false;
    *out = body[name].get<std::string>();
    return true;
}

void sendEncoded(HttpResponse& res, std::string text, int status = 200)
{
    res.status = status;
    res.setContent(std::move(text), "application/json");
}

/// True when a firing alert answers the matcher, so that a refused
/// acknowledgement is a bad request rather than an unknown alert.
bool firingMatch(const std::vector<zormon::AlertView>& alerts, const zormon::AlertMatcher& m)
{
    for (const auto& v : alerts) {
        if (v.alert.state == zormon::AlertState::firing && v.alert.variable == m.variable &&
            (m.condition.empty() || v.alert.condition == m.condition)) {
            return true;
        }
    }
    return false;
}

} // namespace

void alertsView(RouteCall& call)
{
    const HttpRequest& req = call.request;
    call.response.setContent(alertsPage(call.core, *call.session, req.param("offset"), req.param("limit")), kHtml);
}

void alertsSubmit(RouteCall& call)
{
    const HttpRequest& req = call.request;
    call.session->flash =
        alertsAction(call.core, *call.session, [&req](const std::string& name) { return req.formField(name); });
    call.response.redirect("/alerts");
}

void apiAlerts(RouteCall& call) { sendEncoded(call.response, zormon::alertsJson(call.core.monitor().alerts())); }

void apiAcknowledge(RouteCall& call)
{
    HttpResponse& res = call.response;
    std::string matcher;
    if (!stringField(call.body, "acknowledge", &matcher)) {
        sendJson(res, {{"error", "expected {\"acknowledge\":\"VARIABLE [CONDITION]\"}"}}, 400);
        return;
    }
    zor::Expected<zormon::AlertMatcher> parsed = zormon::parseMatcher(matcher);
    if (!parsed) {
        sendJson(res, {{"error", parsed.error()}}, 400);
        return;
    }
    zormon::MonitorThread& thread = call.core.monitor();
    zor::Expected<std::string> name = thread.acknowledge(matcher, call.session->user);
    if (!name) {
        sendJson(res, {{"error", name.error()}}, firingMatch(thread.alerts(), *parsed) ? 400 : 404);
        return;
    }
    sendJson(res, {{"acknowledged", *name}});
}

void apiSilences(RouteCall& call) { sendEncoded(call.response, zormon::silencesJson(call.core.monitor().silences())); }

void apiAddSilence(RouteCall& call)
{
    HttpResponse& res = call.response;
    std::string matcher, duration, comment;
    if (!stringField(call.body, "matcher", &matcher) || !stringField(call.body, "for", &duration) ||
        (call.body.contains("comment") && !stringField(call.body, "comment", &comment))) {
        sendJson(res, {{"error", "expected {\"matcher\":\"VARIABLE [CONDITION]\", \"for\":\"2h\", \"comment\":...}"}},
                 400);
        return;
    }
    zor::Expected<long> seconds = zormon::parseDuration(duration);
    if (!seconds) {
        sendJson(res, {{"error", seconds.error()}}, 400);
        return;
    }
    // The thread refuses a silence without a comment, or of no alert of the configuration.
    zor::Expected<zormon::Silence> added =
        call.core.monitor().addSilence(matcher, *seconds, comment, call.session->user);
    if (!added) {
        sendJson(res, {{"error", added.error()}}, 400);
        return;
    }
    sendEncoded(res, zormon::silenceJson(*added), 201);
}

void apiRemoveSilence(RouteCall& call)
{
    const std::string& id = call.request.matches[1];
    zor::Expected<void> removed = call.core.monitor().removeSilence(id);
    if (!removed) {
        sendJson(call.response, {{"error", removed.error()}}, 404);
        return;
    }
    sendJson(call.response, {{"removed", id}});
}

} // namespace console
