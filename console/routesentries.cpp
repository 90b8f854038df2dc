// The API's view of the configuration: any request a management client may
// send, the table of entries and the presets in readable form, the diff,
// validation and commit, and trying a trigger on a stored day.
#include "consoleroutes.h"

#include "configtext.h"
#include "monitorlogs.h"
#include "monitorthread.h"
#include "replyformat.h"
#include "request.h"
#include "triggertry.h"

#include <cstdlib>
#include <set>

using json = nlohmann::json;

namespace console {

void apiRequest(RouteCall& call)
{
    const json& body = call.body;
    HttpResponse& res = call.response;
    if (!body.contains("op") || !body["op"].is_string() || (body.contains("key") && !body["key"].is_string()) ||
        (body.contains("value") && !body["value"].is_string())) {
        sendJson(res, {{"error", "expected {\"op\":..., \"key\":..., \"value\":...}"}}, 400);
        return;
    }
    std::optional<std::string> key, value;
    if (body.contains("key")) key = body["key"].get<std::string>();
    if (body.contains("value")) value = body["value"].get<std::string>();
    zor::Expected<HostRequest> made = makeRequest(body["op"], key, value);
    if (!made) {
        sendJson(res, {{"error", made.error()}}, 400);
        return;
    }
    const HostRequest& request = *made;
    // A commit also takes the table as committed, for later diffs.
    bool plainCommit =
        request.type == KEY_TYPE_COMMIT && !request.forcedKeyId && request.key == kMonitorKeys + "commit/";
    WebSession& s = *call.session;
    RequestOutcome o = plainCommit ? call.core.commit(s) : call.core.run(s, body["op"], request.key, value);
    if (o.hostError) {
        sendJson(res, {{"error", *o.hostError}}, 500);
        return;
    }
    res.setContent(jsonLine(request, o), "application/json");
}

void apiEntries(RouteCall& call)
{
    zor::Expected<std::vector<std::string>> entries = call.core.table(*call.session);
    if (!entries) {
        sendJson(call.response, {{"error", entries.error()}}, 500);
        return;
    }
    json out = json::array();
    for (size_t i = 0; i < entries->size(); ++i) {
        const std::string& xml = (*entries)[i];
        EntryForm e;
        json item = {{"index", i}, {"xml", xml}};
        if (readEntry(xml, &e)) {
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
    sendJson(call.response, out);
}

void apiVariables(RouteCall& call)
{
    zormon::MonitorThread& thread = call.core.monitor();
    json out = json::array();
    for (const auto& [name, definition] : thread.variables()) {
        std::string value;
        int rc = thread.currentValue(name, &value);
        json item = {{"name", name}, {"definition", definition}, {"result", rc}};
        if (rc == 0) item["value"] = value;
        out.push_back(item);
    }
    sendJson(call.response, out);
}

void apiPresets(RouteCall& call)
{
    std::set<std::string> known;
    for (const auto& v : call.core.monitor().variables()) known.insert(v.first);
    json out = json::array();
    size_t i = 0;
    for (const auto& [xml, p] : call.core.presets(*call.session)) {
        out.push_back({{"index", i++}, {"name", p.name}, {"variable", p.variable}, {"description", p.description},
                       {"onThisUnit", known.count(p.variable) > 0}, {"xml", xml}});
    }
    sendJson(call.response, out);
}

void apiDiff(RouteCall& call)
{
    call.response.setContent(call.core.diffText(*call.session, true), "application/json");
}

void apiValidate(RouteCall& call) { sendJson(call.response, {{"problems", call.core.validate(*call.session)}}); }

void apiCommit(RouteCall& call)
{
    RequestOutcome o = call.core.commit(*call.session);
    sendJson(call.response, {{"result", o.result ? json(*o.result) : json(nullptr)}, {"reply", o.reply}},
             o.result && *o.result >= 0 ? 200 : 409);
}

// Tries a trigger (its XML text, or a preset's index) on a stored day.
void apiTry(RouteCall& call)
{
    const json& body = call.body;
    HttpResponse& res = call.response;
    auto field = [&body](const char* name) {
        return body.contains(name) && body[name].is_string() ? body[name].get<std::string>() : std::string();
    };
    TriggerForm trigger;
    std::string variable = field("variable");
    if (!field("preset").empty()) {
        auto all = call.core.presets(*call.session);
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
    if (!readLog(call.core.logFolder(), field("day"), &text)) {
        sendJson(res, {{"error", "no such log"}}, 404);
        return;
    }
    TryResult r = tryTrigger(variable, trigger, samplesOf(text, variable), call.core.interval());
    json points = json::array();
    for (const auto& p : r.points) {
        if (p.fired || p.suppressed) {
            points.push_back({{"time", p.sample.clock}, {"value", p.sample.value},
                              {"outcome", p.fired ? "fired" : "suppressed"}, {"message", p.message}});
        }
    }
    sendJson(res, {{"variable", variable}, {"samples", r.points.size()}, {"fired", r.fired},
                   {"suppressed", r.suppressed}, {"firings", points}});
}

} // namespace console
