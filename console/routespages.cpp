// The pages: each renders from the login's module session and the monitor
// thread (consolepages.h); a form post runs its operation and redirects, so
// that reloading the page does not run it again.
#include "consoleroutes.h"

#include "monitorlogs.h"

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";

} // namespace

void overviewView(RouteCall& call)
{
    call.response.setContent(overviewPage(call.core, *call.session), kHtml);
}

void logsView(RouteCall& call)
{
    const HttpRequest& req = call.request;
    call.response.setContent(logsPage(call.core, *call.session, req.param("name"), req.param("filter"),
                                      req.param("offset"), req.param("limit")),
                             kHtml);
}

void logDownload(RouteCall& call)
{
    HttpResponse& res = call.response;
    std::string name = call.request.param("name");
    std::string text;
    if (!readLog(call.core.logFolder(), name, &text)) {
        res.status = 404;
        errorAnswer(call.request, res, "no such log");
        return;
    }
    res.setHeader("Content-Disposition", "attachment; filename=\"" + name + ".log\"");
    res.setContent(text, "text/plain; charset=utf-8");
}

void graphView(RouteCall& call)
{
    const HttpRequest& req = call.request;
    call.response.setContent(
        graphPage(call.core, *call.session, [&req](const std::string& name) { return req.param(name); }), kHtml);
}

void tryView(RouteCall& call)
{
    const HttpRequest& req = call.request;
    call.response.setContent(
        tryPage(call.core, *call.session, [&req](const std::string& name) { return req.param(name); }), kHtml);
}

void scriptFile(RouteCall& call) { call.response.setContent(consoleScript(), "text/javascript"); }

} // namespace console
