// The Diff and History pages, and the history as JSON: the commits of the
// audit logs, paged with ?offset=&limit= so that a long history stays small.
#include "consoleroutes.h"

#include "audittrail.h"

#include <cstdlib>

using json = nlohmann::json;

namespace console {

namespace {

const char* const kHtml = "text/html; charset=utf-8";
constexpr size_t kDefaultLimit = 20;
constexpr size_t kMaxLimit = 200;

/// A paging parameter: a plain number, else the fallback; at most most.
size_t pageParam(const HttpRequest& req, const char* name, size_t fallback, size_t most)
{
    const std::string text = req.param(name);
    char* end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-') {
        return fallback;
    }
    return static_cast<size_t>(std::min<unsigned long long>(n, most));
}

size_t offsetOf(const HttpRequest& req) { return pageParam(req, "offset", 0, size_t(-1) / 2); }
size_t limitOf(const HttpRequest& req) { return std::max<size_t>(1, pageParam(req, "limit", kDefaultLimit, kMaxLimit)); }

std::string auditFolder(RouteCall& call)
{
    return call.core.options().audit ? call.core.options().audit->folder() : call.core.logFolder();
}

} // namespace

void diffView(RouteCall& call)
{
    call.response.setContent(diffPage(call.core, *call.session), kHtml);
}

void historyView(RouteCall& call)
{
    call.response.setContent(
        historyPage(*call.session, auditFolder(call), offsetOf(call.request), limitOf(call.request)), kHtml);
}

void apiHistory(RouteCall& call)
{
    const size_t offset = offsetOf(call.request), limit = limitOf(call.request);
    size_t total = 0;
    json commits = json::array();
    for (const AuditCommit& c : readCommits(auditFolder(call), offset, limit, &total)) {
        commits.push_back({{"time", c.time}, {"user", c.user}, {"peer", c.peer}, {"changes", c.changes}});
    }
    sendJson(call.response, {{"total", total}, {"offset", offset}, {"limit", limit}, {"commits", commits}});
}

} // namespace console
