// The Alerts page: what fires now, each alert with a form to silence it and
// one to acknowledge it, what is pending, the silences in force, and the
// alert and resolved lines of the last week's monitoring logs.
#include "pagekit.h"
#include "paging.h"

#include "monitorlogic.h"
#include "monitorthread.h"

#include <algorithm>

namespace console {

using namespace page;

namespace {

/// History lines on one page: a week of a flapping alert would otherwise
/// make a page no one scrolls through; and the most a request may ask for.
constexpr size_t kHistoryLines = 500, kMostHistoryLines = 10000;

std::string when(std::time_t t) { return t == 0 ? "-" : h(zormon::formatLocalTime(t)); }

std::string notes(const zormon::AlertView& v)
{
    std::string out;
    auto note = [&out](const std::string& text) { out += (out.empty() ? "" : ", ") + text; };
    if (!v.silencedBy.empty()) note("silenced by " + v.silencedBy);
    if (!v.alert.acknowledgedBy.empty()) note("acknowledged by " + v.alert.acknowledgedBy);
    if (v.alert.flapping) note("flapping");
    return h(out);
}

std::string matcherField(const std::string& matcher)
{
    return "<input type=\"hidden\" name=\"matcher\" value=\"" + h(matcher) + "\">";
}

/// Silence and Acknowledge for one firing alert.
std::string alertForms(const WebSession& s, const std::string& name)
{
    return "<form method=\"post\" action=\"/alerts\" class=\"silence\">" + csrfField(s) + matcherField(name) +
           "<label>for <select name=\"for\">" + option("1h", "1h", true) + option("4h", "4h", false) +
           option("1d", "1d", false) + option("7d", "1w", false) +
           "</select></label> <label>Comment <input name=\"comment\" required></label> "
           "<button name=\"do\" value=\"silence\">Silence</button></form>"
           "<form method=\"post\" action=\"/alerts\" class=\"acknowledge\">" + csrfField(s) + matcherField(name) +
           "<button name=\"do\" value=\"acknowledge\">Acknowledge</button></form>";
}

std::string matcherOf(const zormon::Silence& silence)
{
    return silence.variable + (silence.condition.empty() ? "" : " " + silence.condition);
}

/// The alert and resolved lines of the day files of the last seven days,
/// newest first.
std::vector<std::string> history(PageContext& c, std::time_t now)
{
    std::string oldest = zormon::dayLogName(now - 6 * 86400);
    oldest = oldest.substr(0, oldest.size() - 4);
    std::vector<std::string> lines;
    for (const std::string& day : listLogs(c.logFolder())) { // newest first
        if (day < oldest) break;
        std::string text;
        if (!readLog(c.logFolder(), day, &text)) continue;
        std::vector<LogAlert> found = alertsOf(text, "", true);
        for (auto it = found.rbegin(); it != found.rend(); ++it) lines.push_back(it->line);
    }
    return lines;
}

} // namespace

std::string alertsPage(PageContext& c, WebSession& s, const std::string& offset, const std::string& limit)
{
    zormon::MonitorThread& thread = c.monitor();
    std::vector<zormon::AlertView> alerts = thread.alerts();
    auto inState = [&alerts](zormon::AlertState state) {
        std::vector<const zormon::AlertView*> out;
        for (const auto& v : alerts) {
            if (v.alert.state == state) out.push_back(&v);
        }
        return out;
    };

    std::string body = "<h2>Firing</h2>";
    auto firing = inState(zormon::AlertState::firing);
    if (firing.empty()) {
        body += "<p id=\"no-firing\">None.</p>";
    } else {
        body += "<table id=\"firing\"><tr><th>Alert</th><th>Since</th><th>Value</th><th>Last sent</th>"
                "<th>Notifications</th><th>Notes</th><th></th></tr>";
        for (const zormon::AlertView* v : firing) {
            body += "<tr class=\"alert\"><td class=\"name\">" + h(v->name) + "</td><td>" + when(v->alert.since) +
                    "</td><td>" + h(v->alert.value) + "</td><td>" + when(v->alert.lastSent) + "</td><td>" +
                    std::to_string(v->alert.notifications) + "</td><td class=\"notes\">" + notes(*v) + "</td><td>" +
                    alertForms(s, v->name) + "</td></tr>";
        }
        body += "</table>";
    }

    body += "<h2>Pending</h2>";
    auto pending = inState(zormon::AlertState::pending);
    if (pending.empty()) {
        body += "<p id=\"no-pending\">None.</p>";
    } else {
        body += "<table id=\"pending\"><tr><th>Alert</th><th>Since</th><th>Value</th></tr>";
        for (const zormon::AlertView* v : pending) {
            body += "<tr class=\"alert\"><td class=\"name\">" + h(v->name) + "</td><td>" + when(v->alert.since) +
                    "</td><td>" + h(v->alert.value) + "</td></tr>";
        }
        body += "</table>";
    }

    body += "<h2>Silences</h2>";
    std::vector<zormon::Silence> silences = thread.silences();
    if (silences.empty()) {
        body += "<p id=\"no-silences\">None.</p>";
    } else {
        body += "<table id=\"silences\"><tr><th>Id</th><th>Matcher</th><th>Until</th><th>Comment</th>"
                "<th>Author</th><th></th></tr>";
        for (const zormon::Silence& silence : silences) {
            body += "<tr class=\"silence\"><td class=\"id\">" + h(silence.id) + "</td><td>" + h(matcherOf(silence)) +
                    "</td><td>" + when(silence.ends) + "</td><td>" + h(silence.comment) + "</td><td>" +
                    h(silence.author) + "</td><td><form method=\"post\" action=\"/alerts\">" + csrfField(s) +
                    "<input type=\"hidden\" name=\"id\" value=\"" + h(silence.id) +
                    "\"><button name=\"do\" value=\"remove\">Remove</button></form></td></tr>";
        }
        body += "</table>";
    }

    body += "<h2>The last week</h2>";
    std::vector<std::string> lines = history(c, std::time(nullptr));
    if (lines.empty()) {
        body += "<p id=\"no-history\">No alert in the monitoring logs of the last seven days.</p>";
    } else {
        Paging p = readPaging(offset, limit, kHistoryLines, kMostHistoryLines);
        body += "<pre id=\"history\">";
        for (size_t i = p.offset; i < p.end(lines.size()); ++i) body += h(lines[i]) + "\n";
        body += "</pre>" + pagingLinks("history-paging", "/alerts?", p, lines.size(), "line");
    }
    return layout("Alerts", body, &s);
}

std::string alertsAction(PageContext& c, WebSession& s, const Params& p)
{
    zormon::MonitorThread& thread = c.monitor();
    const std::string what = p("do"), matcher = p("matcher");
    if (what == "silence") {
        zor::Expected<long> seconds = zormon::parseDuration(p("for"));
        if (!seconds) return "silence " + matcher + ": " + seconds.error();
        // The thread refuses a silence without a comment, as it does from the socket.
        zor::Expected<zormon::Silence> added = thread.addSilence(matcher, *seconds, p("comment"), s.user);
        if (!added) return "silence " + matcher + ": " + added.error();
        return "silence " + added->id + ": " + matcherOf(*added) + " until " + zormon::formatLocalTime(added->ends);
    }
    if (what == "acknowledge") {
        zor::Expected<std::string> name = thread.acknowledge(matcher, s.user);
        return name ? "acknowledged " + *name : "acknowledge " + matcher + ": " + name.error();
    }
    if (what == "remove") {
        const std::string id = p("id");
        zor::Expected<void> removed = thread.removeSilence(id);
        return removed ? "removed silence " + id : "remove silence " + id + ": " + removed.error();
    }
    return "unknown operation";
}

} // namespace console
