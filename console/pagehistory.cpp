// The History page: the commits that the audit logs hold, newest first, a
// page at a time, each with who made it, from where, when and what it
// changed in words.
#include "pagekit.h"

#include "audittrail.h"

namespace console {

using namespace page;

std::string historyPage(WebSession& s, const std::string& folder, size_t offset, size_t limit)
{
    size_t total = 0;
    std::vector<AuditCommit> commits = readCommits(folder, offset, limit, &total);
    std::string body;
    if (total == 0) {
        body += "<p id=\"history-empty\">No commits recorded.</p>";
    } else {
        body += "<p>Commits " + std::to_string(std::min(offset + 1, total)) + " to " +
                std::to_string(offset + commits.size()) + " of " + std::to_string(total) + ", newest first.</p>";
    }
    body += "<table id=\"history\"><tr><th>Time</th><th>User</th><th>From</th><th>Changes</th></tr>";
    for (const AuditCommit& commit : commits) {
        body += "<tr class=\"commit\"><td>" + h(commit.time) + "</td><td class=\"user\">" + h(commit.user) +
                "</td><td>" + h(commit.peer) + "</td><td>";
        if (commit.changes.empty()) {
            body += "no changes";
        } else {
            body += "<ul>";
            for (const std::string& change : commit.changes) body += "<li>" + h(change) + "</li>";
            body += "</ul>";
        }
        body += "</td></tr>";
    }
    body += "</table><p>";
    const std::string size = "&amp;limit=" + std::to_string(limit);
    if (offset > 0) {
        body += "<a id=\"newer\" href=\"/history?offset=" + std::to_string(offset > limit ? offset - limit : 0) + size +
                "\">Newer</a> ";
    }
    if (offset + commits.size() < total) {
        body += "<a id=\"older\" href=\"/history?offset=" + std::to_string(offset + limit) + size + "\">Older</a>";
    }
    return layout("History", body + "</p>", &s);
}

} // namespace console
