// The API's monitoring logs: their names, one day's text, and one
// variable's samples of a day. Names are checked by readLog, so no path
// outside the log folder can be asked for. A list or a text asked for with
// offset, limit (or, for a text, filter) comes a page at a time, in JSON
// that tells the total; without them it comes whole, as it always did.
#include "consoleroutes.h"

#include "monitorlogs.h"
#include "monitorthread.h"
#include "paging.h"

#include <algorithm>
#include <sstream>

using json = nlohmann::json;

namespace console {

namespace {

constexpr size_t kDefaultLines = 500, kMostLines = 10000;

bool asksForPage(const HttpRequest& req, bool withFilter)
{
    return req.query.count("offset") != 0 || req.query.count("limit") != 0 ||
           (withFilter && req.query.count("filter") != 0);
}

} // namespace

void apiLogList(RouteCall& call)
{
    std::vector<std::string> names = listLogs(call.core.logFolder());
    if (!asksForPage(call.request, false)) {
        sendJson(call.response, names);
        return;
    }
    Paging p = readPaging(call.request.param("offset"), call.request.param("limit"), kDefaultLines, kMostLines);
    json page = json::array();
    for (size_t i = p.offset; i < p.end(names.size()); ++i) page.push_back(names[i]);
    sendJson(call.response,
             {{"total", names.size()}, {"offset", p.offset}, {"limit", p.limit}, {"logs", std::move(page)}});
}

void apiLogText(RouteCall& call)
{
    const std::string name = call.request.matches[1];
    std::string text;
    if (!readLog(call.core.logFolder(), name, &text)) {
        sendJson(call.response, {{"error", "no such log"}}, 404);
        return;
    }
    if (!asksForPage(call.request, true)) {
        call.response.setContent(text, "text/plain; charset=utf-8");
        return;
    }
    const std::string filter = call.request.param("filter");
    Paging p = readPaging(call.request.param("offset"), call.request.param("limit"), kDefaultLines, kMostLines);
    json lines = json::array();
    size_t total = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!filter.empty() && line.find(filter) == std::string::npos) continue;
        if (total >= p.offset && total < p.offset + p.limit) lines.push_back(line);
        ++total;
    }
    sendJson(call.response, {{"name", name}, {"filter", filter}, {"total", total}, {"offset", p.offset},
                             {"limit", p.limit}, {"lines", std::move(lines)}});
}

void apiSamples(RouteCall& call)
{
    std::string text;
    if (!readLog(call.core.logFolder(), call.request.param("day"), &text)) {
        sendJson(call.response, {{"error", "no such log"}}, 404);
        return;
    }
    const std::string variable = call.request.param("var");
    std::vector<LogPoint> points = samplesOf(text, variable);
    if (points.empty()) {
        // No sample may mean a quiet day; a name neither the catalogue
        // knows nor the day's log ever carried is a mistake in the request.
        auto catalogue = call.core.monitor().variables();
        std::vector<std::string> logged = sampledNames(text);
        bool known = std::any_of(catalogue.begin(), catalogue.end(), [&](const auto& v) { return v.first == variable; }) ||
                     std::find(logged.begin(), logged.end(), variable) != logged.end();
        if (!known) {
            sendJson(call.response, {{"error", "unknown variable: " + variable}}, 404);
            return;
        }
    }
    json out = json::array();
    for (const auto& p : points) {
        out.push_back({{"time", p.clock}, {"value", p.value}});
    }
    sendJson(call.response, out);
}

} // namespace console
