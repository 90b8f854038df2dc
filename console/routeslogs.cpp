// The API's monitoring logs: their names, one day's text, and one
// variable's samples of a day. Names are checked by readLog, so no path
// outside the log folder can be asked for.
#include "consoleroutes.h"

#include "monitorlogs.h"

using json = nlohmann::json;

namespace console {

void apiLogList(RouteCall& call) { sendJson(call.response, listLogs(call.core.logFolder())); }

void apiLogText(RouteCall& call)
{
    std::string text;
    if (!readLog(call.core.logFolder(), call.request.matches[1], &text)) {
        sendJson(call.response, {{"error", "no such log"}}, 404);
        return;
    }
    call.response.setContent(text, "text/plain; charset=utf-8");
}

void apiSamples(RouteCall& call)
{
    std::string text;
    if (!readLog(call.core.logFolder(), call.request.param("day"), &text)) {
        sendJson(call.response, {{"error", "no such log"}}, 404);
        return;
    }
    json out = json::array();
    for (const auto& p : samplesOf(text, call.request.param("var"))) {
        out.push_back({{"time", p.clock}, {"value", p.value}});
    }
    sendJson(call.response, out);
}

} // namespace console
