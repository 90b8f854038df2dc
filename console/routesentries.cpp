// The Entries pages and their forms, and the API's view of the
// configuration: any request a management client may send, the table of
// entries and the presets in readable form, the diff, validation, commit
// and discard, and trying a trigger on a stored day. An edit or a commit is
// checked as `zorhost validate` checks before it reaches the module; one
// with problems is refused with 422 and the problems by field.
#include "consoleroutes.h"

#include "configtext.h"
#include "entrycheck.h"
#include "monitorkeys.h"
#include "monitorlogs.h"
#include "monitorthread.h"
#include "replyformat.h"
#include "request.h"
#include "triggertry.h"

#include <cstdlib>
#include <set>

using json = nlohmann::json;

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";

json problemsJson(const std::vector<FieldProblem>& problems)
{
    json out = json::array();
    for (const FieldProblem& p : problems) out.push_back({{"field", p.field}, {"message", p.message}});
    return out;
}

void refuse(HttpResponse& res, const std::string& error, const json& problems)
{
    sendJson(res, {{"error", error}, {"problems", problems}}, 422);
}

/// The problems of the entry or trigger text an add or set carries (none
/// for any other request). A trigger is checked alone and then, when its
/// entry can be read, in that entry, where the variable's kind counts.
std::vector<FieldProblem> requestProblems(RouteCall& call, const HostRequest& request, const std::string& value)
{
    using monvalidate::DocumentKind;
    if (request.type != KEY_TYPE_ADD && request.type != KEY_TYPE_SET) return {};
    const bool entry = request.key.rfind(monitorkeys::kEntry, 0) == 0;
    const bool trigger = request.key.rfind(monitorkeys::kTrigger, 0) == 0;
    if (!entry && !trigger) return {};
    // The XML text follows the indexes the value starts with.
    size_t open = value.find('<');
    std::string xml = open == std::string::npos ? value : value.substr(open);
    if (entry && request.type == KEY_TYPE_ADD) xml = value;
    monvalidate::VariableCatalogue catalogue = catalogueOf(call.core.monitor());
    if (entry) return checkText(xml, DocumentKind::monitorEntry, catalogue);
    std::vector<FieldProblem> problems = checkText(xml, DocumentKind::actionTrigger, catalogue);
    EntryForm owner;
    TriggerForm t;
    if (!problems.empty() || !readTrigger(xml, &t)) return problems;
    std::string key = monitorkeys::kEntry + std::to_string(std::strtoul(value.c_str(), nullptr, 10)) + "/";
    RequestOutcome got = call.core.run(*call.session, "get", key, std::nullopt);
    if (got.result && *got.result >= 0 && readEntry(got.reply, &owner)) {
        owner.triggers = {t};
        problems = checkText(entryXml(owner), DocumentKind::monitorEntry, catalogue);
    }
    return problems;
}

/// The status of a module's answer: refused input 4xx, a failure of the
/// module or the host 5xx.
int statusOf(const RequestOutcome& o)
{
    if (o.exception || !o.result) return 500;
    switch (*o.result) {
    case -1: // no such key
    case -3: // no such entry or trigger
        return 404;
    case -6: // a request the module cannot take
        return 400;
    default:
        return *o.result < 0 ? 500 : 200;
    }
}

/// A commit refused for the table's problems, as JSON; false when there are none.
bool refusedCommit(RouteCall& call)
{
    auto problems = call.core.tableProblems(*call.session);
    if (problems.empty()) return false;
    json list = json::array();
    for (const auto& [index, p] : problems) {
        list.push_back({{"entry", index}, {"field", fieldOf(p.message)}, {"message", monvalidate::formatProblem(p)}});
    }
    refuse(call.response, "the configuration has problems; nothing was committed", list);
    return true;
}

} // namespace

void entriesView(RouteCall& call)
{
    const HttpRequest& req = call.request;
    EntryQuery query = entryQuery([&req](const std::string& name) { return req.param(name); });
    call.response.setContent(entriesPage(call.core, *call.session, query), kHtml);
}

void entryView(RouteCall& call)
{
    size_t index = std::strtoul(call.request.matches[1].c_str(), nullptr, 10);
    call.response.setContent(entryPage(call.core, *call.session, index), kHtml);
}

void entriesSubmit(RouteCall& call)
{
    const HttpRequest& req = call.request;
    FormOutcome o = entriesAction(call.core, *call.session, [&req](const std::string& name) { return req.formField(name); });
    if (!o.page.empty()) {
        call.response.status = o.status;
        call.response.setContent(o.page, kHtml);
        return;
    }
    call.session->flash = o.flash;
    call.response.redirect(o.location);
}

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
    std::vector<FieldProblem> problems = requestProblems(call, request, value.value_or(""));
    if (!problems.empty()) {
        refuse(res, "the text has problems; nothing was sent to the module", problemsJson(problems));
        return;
    }
    if (plainCommit && refusedCommit(call)) return;
    RequestOutcome o = plainCommit ? call.core.commit(s) : call.core.run(s, body["op"], request.key, value);
    if (o.hostError) {
        sendJson(res, {{"error", *o.hostError}}, 500);
        return;
    }
    res.status = statusOf(o);
    res.setContent(jsonLine(request, o), "application/json");
}

// Without parameters the reply is every entry, as it always was; with any
// of offset, limit, q or action it is one page and the total.
void apiEntries(RouteCall& call)
{
    const HttpRequest& req = call.request;
    bool paged = false;
    for (const char* name : {"offset", "limit", "q", "action"}) paged = paged || req.query.count(name) != 0;
    EntryQuery query = entryQuery([&req](const std::string& name) { return req.param(name); });
    if (!paged) {
        query.limit = static_cast<size_t>(-1);
    }
    zor::Expected<EntrySlice> slice = call.core.entries(*call.session, query);
    if (!slice) {
        sendJson(call.response, {{"error", slice.error()}}, 500);
        return;
    }
    json out = json::array();
    for (const EntryRow& row : slice->rows) {
        json item = {{"index", row.index}, {"xml", row.xml}};
        if (row.readable) {
            item["variable"] = row.form.variable;
            item["schedule"] = describeSchedule(row.form);
            json triggers = json::array();
            for (const auto& t : row.form.triggers) {
                triggers.push_back(describeTrigger(t));
            }
            item["triggers"] = triggers;
        }
        out.push_back(item);
    }
    if (!paged) {
        sendJson(call.response, out);
        return;
    }
    sendJson(call.response, {{"total", slice->total}, {"offset", query.offset}, {"limit", query.limit}, {"entries", out}});
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
    if (refusedCommit(call)) return;
    RequestOutcome o = call.core.commit(*call.session);
    sendJson(call.response, {{"result", o.result ? json(*o.result) : json(nullptr)}, {"reply", o.reply}},
             o.result && *o.result >= 0 ? 200 : 409);
}

void apiDiscard(RouteCall& call)
{
    RequestOutcome o = call.core.discard(*call.session);
    if (o.hostError) {
        sendJson(call.response, {{"error", *o.hostError}}, 500);
        return;
    }
    sendJson(call.response, {{"result", o.result ? json(*o.result) : json(nullptr)}, {"reply", o.reply}},
             statusOf(o));
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
