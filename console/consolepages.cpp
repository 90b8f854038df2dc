#include "consolepages.h"
#include "valuescreen.h"

#include "monitorlogs.h"
#include "triggertry.h"

#include "monitorthread.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <sstream>

namespace console {

namespace {

const std::string kKeys = "/zor/public/system/monitor/";

std::string h(const std::string& text) { return escapeXml(text); }

/// A query value: every byte but letters, digits and "-._~" percent-encoded.
std::string q(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

const char* const kStyle =
    "body{font-family:sans-serif;margin:0;color:#222}header{background:#234;color:#fff;padding:.5em 1em}"
    "header a{color:#fff;margin-right:1.2em;text-decoration:none}header form{display:inline;float:right}"
    "main{padding:1em}table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left;"
    "vertical-align:top}.flash{background:#ffd;border:1px solid #cc8;padding:.5em;white-space:pre-wrap}"
    "pre{background:#f4f4f4;padding:.5em;overflow:auto}fieldset{margin:.5em 0}.warn{color:#a00}"
    "svg{background:#fff;border:1px solid #ccc}.pt{fill:#236}.alert{stroke:#c00}.fired{fill:#c00}"
    ".suppressed{fill:none;stroke:#e80;stroke-width:2}.threshold{stroke:#080;stroke-dasharray:4 3}";

std::string layout(const std::string& title, const std::string& body, WebSession* s)
{
    std::string out = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + h(title) +
                      " - zorhostd</title><style>" + kStyle + "</style><script src=\"/console.js\" defer></script>"
                      "</head><body><header>";
    if (s != nullptr) {
        out += "<a href=\"/\">Overview</a><a href=\"/entries\">Entries</a><a href=\"/logs\">Logs</a>"
               "<a href=\"/graph\">Graph</a><a href=\"/try\">Try a trigger</a>"
               "<form method=\"post\" action=\"/logout\"><input type=\"hidden\" name=\"csrf\" value=\"" +
               h(s->csrf) + "\">" + h(s->user) + " <button>Log out</button></form>";
    } else {
        out += "zorhostd console";
    }
    out += "</header><main><h1>" + h(title) + "</h1>";
    if (s != nullptr && !s->flash.empty()) {
        out += "<div class=\"flash\" id=\"flash\">" + h(s->flash) + "</div>";
        s->flash.clear();
    }
    return out + body + "</main></body></html>";
}

std::string csrfField(const WebSession& s) { return "<input type=\"hidden\" name=\"csrf\" value=\"" + h(s.csrf) + "\">"; }

std::string option(const std::string& value, const std::string& label, bool selected)
{
    return "<option value=\"" + h(value) + "\"" + (selected ? " selected" : "") + ">" + h(label) + "</option>";
}

std::string select(const std::string& name, const std::vector<std::string>& values, const std::string& chosen)
{
    std::string out = "<select name=\"" + name + "\">";
    for (const auto& v : values) out += option(v, v, v == chosen);
    return out + "</select>";
}

std::string outcomeText(const std::string& what, const RequestOutcome& o)
{
    std::string out = what + "\n";
    if (o.hostError) return out + "error: " + *o.hostError;
    if (o.exception) return out + "exception: " + o.exception->type + (o.exception->message ? ": " + *o.exception->message : "");
    return out + "result " + std::to_string(o.result.value_or(0)) + ": " + o.reply;
}

std::vector<std::string> variableNames(PageContext& c)
{
    std::vector<std::string> names;
    for (const auto& v : c.monitor().variables()) names.push_back(v.first);
    return names;
}

/// The trigger fields of a form, named with prefix t_.
std::string triggerFields(const TriggerForm& t)
{
    std::string emails;
    for (const auto& e : t.emails) emails += (emails.empty() ? "" : ", ") + e;
    auto check = [](const char* name, const char* label, bool on) {
        return std::string("<label><input type=\"checkbox\" name=\"") + name + "\" value=\"1\"" + (on ? " checked" : "") +
               "> " + label + "</label> ";
    };
    return "<label>Kind " + select("t_kind", {"single-value", "interval-value", "value-changes"}, t.kind) +
           "</label> <label>Value " + select("t_valuetype", {"instantaneous", "average", "minimum", "maximum"}, t.valueType) +
           "</label> " + check("t_permanent", "every sample while it holds", t.permanent) +
           "<br><span class=\"kind-single-value\"><label>Comparison " +
           select("t_comparison", {"greater-than", "less-than", "equals", "not-equals"}, t.comparison) +
           "</label> <label>Threshold <input name=\"t_value\" size=\"8\" value=\"" + h(t.value) + "\"></label></span> "
           "<span class=\"kind-interval-value\"><label>Low <input name=\"t_low\" size=\"6\" value=\"" + h(t.lowValue) +
           "\"></label> <label>High <input name=\"t_high\" size=\"6\" value=\"" + h(t.highValue) + "\"></label> " +
           select("t_range", {"inside", "outside"}, t.range) + "</span><br>Actions: " + check("t_log", "log", t.log) +
           check("t_udp", "UDP message", t.udp) + check("t_trap", "trap", t.trap) +
           check("t_shutdown", "shut down", t.shutdown) + check("t_poweroff", "power off drive", t.powerOffDrive) +
           "<label>E-mail <input name=\"t_emails\" size=\"30\" value=\"" + h(emails) + "\"></label> "
           "<label>At most once in <input name=\"t_maxfreq\" size=\"6\" value=\"" + std::to_string(t.maxFrequency) +
           "\"> s</label>";
}

/// The schedule fields of an entry form.
std::string scheduleFields(const EntryForm& e)
{
    return "<label>Schedule " + select("schedule", {"seconds", "asynchronous", "daily", "weekly", "none"}, e.schedule) +
           "</label> <label>every <input name=\"seconds\" size=\"5\" value=\"" + std::to_string(e.seconds) +
           "\"> s</label> <label>every <input name=\"every\" size=\"3\" value=\"" + std::to_string(e.every) +
           "\"> day(s)/week(s)</label> <label>on " +
           select("day_of_week", {"sun", "mon", "tue", "wed", "thu", "fri", "sat"}, e.dayOfWeek) +
           "</label> <label>at <input name=\"hour\" size=\"2\" value=\"" + std::to_string(e.hour) +
           "\">:<input name=\"minute\" size=\"2\" value=\"" + std::to_string(e.minute) + "\"></label>";
}

/// Variable, log flag and schedule of an entry form; triggers are left alone.
void entryFieldsFromForm(const Params& p, EntryForm* e)
{
    e->variable = p("variable");
    e->log = !p("log").empty();
    e->schedule = p("schedule");
    e->seconds = std::strtol(p("seconds").c_str(), nullptr, 10);
    e->every = std::strtol(p("every").c_str(), nullptr, 10);
    e->dayOfWeek = p("day_of_week");
    e->hour = std::atoi(p("hour").c_str());
    e->minute = std::atoi(p("minute").c_str());
}

TriggerForm triggerFromForm(const Params& p)
{
    TriggerForm t;
    t.kind = p("t_kind");
    t.valueType = p("t_valuetype");
    t.permanent = !p("t_permanent").empty();
    t.comparison = p("t_comparison");
    t.value = p("t_value");
    t.lowValue = p("t_low");
    t.highValue = p("t_high");
    t.range = p("t_range") == "outside" ? "outside" : "inside";
    t.maxFrequency = std::strtol(p("t_maxfreq").c_str(), nullptr, 10);
    std::string emails = p("t_emails");
    std::stringstream ss(emails);
    std::string e;
    while (std::getline(ss, e, ',')) {
        size_t b = e.find_first_not_of(" \t"), en = e.find_last_not_of(" \t");
        if (b != std::string::npos) t.emails.push_back(e.substr(b, en - b + 1));
    }
    t.log = !p("t_log").empty();
    t.udp = !p("t_udp").empty();
    t.trap = !p("t_trap").empty();
    t.shutdown = !p("t_shutdown").empty();
    t.powerOffDrive = !p("t_poweroff").empty();
    return t;
}

std::string presetPicker(const std::vector<std::pair<std::string, PresetForm>>& presets,
                         const std::set<std::string>& known, const std::string& chosen)
{
    std::string out = "<select name=\"preset\"><option value=\"\">(the fields below)</option>";
    for (size_t i = 0; i < presets.size(); ++i) {
        const PresetForm& p = presets[i].second;
        bool here = known.count(p.variable) > 0;
        out += option(std::to_string(i),
                      p.name + " - " + p.description + " [" + p.variable + "]" + (here ? "" : " (not on this unit)"),
                      chosen == std::to_string(i));
    }
    return out + "</select>";
}

std::set<std::string> knownVariables(PageContext& c)
{
    auto names = variableNames(c);
    return {names.begin(), names.end()};
}

struct Series {
    std::vector<LogPoint> points;
    std::vector<LogAlert> alerts;
    std::time_t from = 0, to = 0;
};

/// The log names of the day and, for a week, the six days before it.
std::vector<std::string> spanDays(const std::string& day, bool week)
{
    std::vector<std::string> days{day};
    if (week && validLogName(day)) {
        std::tm tm{};
        tm.tm_year = std::stoi(day.substr(1, 4)) - 1900;
        tm.tm_mon = std::stoi(day.substr(5, 2)) - 1;
        tm.tm_mday = std::stoi(day.substr(7, 2));
        tm.tm_hour = 12;
        tm.tm_isdst = -1;
        std::time_t t = std::mktime(&tm);
        for (int i = 1; i < 7; ++i) {
            std::string name = zormon::dayLogName(t - i * 86400);
            days.insert(days.begin(), name.substr(0, name.size() - 4));
        }
    }
    return days;
}

Series readSeries(PageContext& c, const std::string& variable, const std::string& day, bool week)
{
    Series s;
    for (const auto& d : spanDays(day, week)) {
        std::string text;
        if (!readLog(c.logFolder(), d, &text)) continue;
        auto pts = samplesOf(text, variable);
        auto al = alertsOf(text, variable);
        s.points.insert(s.points.end(), pts.begin(), pts.end());
        s.alerts.insert(s.alerts.end(), al.begin(), al.end());
    }
    auto days = spanDays(day, week);
    if (validLogName(days.front())) {
        std::string d = days.front();
        s.from = parseClock(d.substr(1, 4) + "-" + d.substr(5, 2) + "-" + d.substr(7, 2) + " 00:00:00");
        s.to = s.from + static_cast<std::time_t>(days.size()) * 86400;
    }
    return s;
}

/// Thresholds of the committed or session table's triggers on variable.
std::vector<std::pair<double, std::string>> thresholds(PageContext& c, WebSession& s, const std::string& variable)
{
    std::vector<std::pair<double, std::string>> out;
    std::vector<std::string> entries;
    std::string error;
    if (!c.table(s, &entries, &error)) return out;
    for (const auto& xml : entries) {
        EntryForm e;
        if (!readEntry(xml, &e) || e.variable != variable) continue;
        for (const auto& t : e.triggers) {
            auto add = [&out, &t](const std::string& v) {
                zormon::Sample sample;
                if (zormon::parseSample(v, &sample) && sample.isNumber) out.emplace_back(sample.number, describeTrigger(t));
            };
            if (t.kind == "single-value") add(t.value);
            if (t.kind == "interval-value") {
                add(t.lowValue);
                add(t.highValue);
            }
        }
    }
    return out;
}

std::string svgGraph(const Series& series, const std::vector<std::pair<double, std::string>>& lines,
                     const TryResult* tried)
{
    const double W = 900, H = 320, L = 60, R = 25, T = 10, B = 30;
    std::vector<std::pair<std::time_t, double>> values;
    for (const auto& p : series.points) {
        zormon::Sample s;
        if (zormon::parseSample(p.value, &s) && s.isNumber) values.emplace_back(p.when, s.number);
    }
    double lo = 0, hi = 1;
    bool any = false;
    for (const auto& v : values) {
        lo = any ? std::min(lo, v.second) : v.second;
        hi = any ? std::max(hi, v.second) : v.second;
        any = true;
    }
    for (const auto& l : lines) {
        lo = any ? std::min(lo, l.first) : l.first;
        hi = any ? std::max(hi, l.first) : l.first;
        any = true;
    }
    if (hi - lo < 1e-9) {
        hi = lo + 1;
    }
    double pad = (hi - lo) * 0.05;
    lo -= pad;
    hi += pad;
    std::time_t from = series.from, to = series.to > series.from ? series.to : series.from + 86400;
    auto x = [&](std::time_t t) { return L + (W - L - R) * double(t - from) / double(to - from); };
    auto y = [&](double v) { return T + (H - T - B) * (1 - (v - lo) / (hi - lo)); };
    std::ostringstream o;
    o.precision(6);
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H << "\" viewBox=\"0 0 " << W
      << ' ' << H << "\" id=\"graph\">";
    o << "<line x1=\"" << L << "\" y1=\"" << H - B << "\" x2=\"" << W - R << "\" y2=\"" << H - B
      << "\" stroke=\"#999\"/><line x1=\"" << L << "\" y1=\"" << T << "\" x2=\"" << L << "\" y2=\"" << H - B
      << "\" stroke=\"#999\"/>";
    for (int i = 0; i <= 4; ++i) {
        double v = lo + (hi - lo) * i / 4;
        o << "<text x=\"" << L - 4 << "\" y=\"" << y(v) + 4 << "\" font-size=\"11\" text-anchor=\"end\">"
          << zormon::formatNumber(std::round(v * 100) / 100) << "</text>";
    }
    long span = long(to - from);
    for (long t = 0; t <= span; t += span > 86400 ? 86400 : 3 * 3600) {
        std::string label = zormon::formatLocalTime(from + t).substr(span > 86400 ? 5 : 11, span > 86400 ? 5 : 5);
        o << "<text x=\"" << x(from + t) << "\" y=\"" << H - 10 << "\" font-size=\"11\" text-anchor=\"middle\">"
          << h(label) << "</text>";
    }
    for (const auto& l : lines) {
        o << "<line class=\"threshold\" x1=\"" << L << "\" x2=\"" << W - R << "\" y1=\"" << y(l.first) << "\" y2=\""
          << y(l.first) << "\"><title>" << h(l.second) << "</title></line>";
    }
    for (const auto& a : series.alerts) {
        o << "<line class=\"alert\" x1=\"" << x(a.when) << "\" x2=\"" << x(a.when) << "\" y1=\"" << T << "\" y2=\""
          << H - B << "\"><title>" << h(a.line) << "</title></line>";
    }
    if (!values.empty()) {
        o << "<polyline fill=\"none\" stroke=\"#48a\" points=\"";
        for (const auto& v : values) o << x(v.first) << ',' << y(v.second) << ' ';
        o << "\"/>";
    }
    for (const auto& v : values) {
        o << "<circle class=\"pt\" r=\"2.5\" cx=\"" << x(v.first) << "\" cy=\"" << y(v.second) << "\"/>";
    }
    if (tried != nullptr) {
        for (const auto& p : tried->points) {
            zormon::Sample s;
            if (!(p.fired || p.suppressed) || !zormon::parseSample(p.sample.value, &s) || !s.isNumber) continue;
            o << "<circle class=\"" << (p.fired ? "fired" : "suppressed") << "\" r=\"6\" cx=\"" << x(p.sample.when)
              << "\" cy=\"" << y(s.number) << "\"><title>" << h(p.sample.clock + " " + p.message) << "</title></circle>";
        }
    }
    o << "</svg>";
    return o.str();
}

std::string dayPicker(PageContext& c, const std::string& chosen)
{
    std::vector<std::string> days = listLogs(c.logFolder());
    return select("day", days, chosen);
}

} // namespace

std::string loginPage(const std::string& token, const std::string& message)
{
    std::string body;
    if (!message.empty()) body += "<p class=\"warn\" id=\"message\">" + h(message) + "</p>";
    body += "<form method=\"post\" action=\"/login\"><input type=\"hidden\" name=\"csrf\" value=\"" + h(token) +
            "\"><p><label>Name <input name=\"user\" id=\"user\" autocomplete=\"username\"></label></p>"
            "<p><label>Password <input type=\"password\" name=\"password\" id=\"password\" "
            "autocomplete=\"current-password\"></label></p><p><button id=\"login\">Log in</button></p></form>";
    return layout("Log in", body, nullptr);
}

std::string errorPage(WebSession& s, const std::string& message)
{
    return layout("Refused", "<p class=\"warn\" id=\"message\">" + h(message) + "</p>", &s);
}

std::string overviewPage(PageContext& c, WebSession& s)
{
    std::string body = "<h2>Variables</h2><table id=\"variables\"><tr><th>Variable</th><th>Value</th><th>Definition</th></tr>";
    for (const auto& [name, definition] : c.monitor().variables()) {
        std::string value;
        int rc = c.monitor().currentValue(name, &value);
        body += "<tr><td><a href=\"/graph?var=" + h(q(name)) + "\">" + h(name) + "</a></td><td>" +
                (rc == 0 ? h(value) : "<i>unavailable</i>") + "</td><td>" + h(definition) + "</td></tr>";
    }
    body += "</table><h2>Last alerts today</h2>";
    std::string today = zormon::dayLogName(std::time(nullptr));
    std::string text;
    std::vector<LogAlert> alerts;
    if (readLog(c.logFolder(), today.substr(0, today.size() - 4), &text)) alerts = alertsOf(text);
    if (alerts.empty()) {
        body += "<p>None.</p>";
    } else {
        body += "<pre id=\"alerts\">";
        for (size_t i = alerts.size() > 20 ? alerts.size() - 20 : 0; i < alerts.size(); ++i) body += h(alerts[i].line) + "\n";
        body += "</pre>";
    }
    const std::string parserProblem = valuescreen::moduleParserProblem();
    if (!parserProblem.empty()) {
        body += "<p class=\"warn\" id=\"parser-problem\">The module's XML parser refuses every document since " +
                h(parserProblem) + ": no entry or trigger can be set or added. Commit the edits you have, then "
                "restart zorhostd.</p>";
    }
    zormon::MonitorThreadStatus st = c.monitor().status();
    body += "<h2>Monitor thread</h2><table id=\"status\"><tr><th>State</th><td>" +
            std::string(st.running ? "running" : "stopped") + "</td></tr><tr><th>Entries watched</th><td>" +
            std::to_string(st.entries) + "</td></tr><tr><th>Last configuration load</th><td>" +
            (st.lastLoad ? h(zormon::formatLocalTime(st.lastLoad)) : "never") +
            (st.configurationProblem.empty() ? "" : " <span class=\"warn\">" + h(st.configurationProblem) + "</span>") +
            "</td></tr><tr><th>Samples</th><td>" + std::to_string(st.samples) +
            "</td></tr><tr><th>Actions performed</th><td>" + std::to_string(st.performed) +
            "</td></tr><tr><th>Failed (trap, e-mail)</th><td>" + std::to_string(st.trapFailures) + ", " +
            std::to_string(st.mailFailed) + "</td></tr></table>";
    body += "<h2>Uncommitted changes of this session</h2><pre id=\"diff\">" + h(c.diffText(s, false)) + "</pre>";
    return layout("Overview", body, &s);
}

std::string entriesPage(PageContext& c, WebSession& s)
{
    std::vector<std::string> entries;
    std::string error;
    std::string body;
    if (!c.table(s, &entries, &error)) body += "<p class=\"warn\">" + h(error) + "</p>";
    auto presets = c.presets(s);
    auto known = knownVariables(c);
    auto vars = variableNames(c);
    std::string csrf = csrfField(s);
    body += "<form method=\"post\" action=\"/entries\">" + csrf +
            "<button name=\"do\" value=\"validate\" id=\"validate\">Validate</button> "
            "<button name=\"do\" value=\"diff\" id=\"diff\">Diff</button> "
            "<button name=\"do\" value=\"commit\" id=\"commit\">Commit</button></form>";
    body += "<table id=\"entries\"><tr><th>#</th><th>Variable</th><th>Schedule</th><th>Triggers</th><th></th></tr>";
    for (size_t i = 0; i < entries.size(); ++i) {
        EntryForm e;
        if (!readEntry(entries[i], &e)) continue;
        std::string idx = std::to_string(i);
        body += "<tr class=\"entry\"><td>" + idx + "</td><td class=\"variable\">" + h(e.variable) + (e.log ? " (logged)" : "") +
                "</td><td>" + h(describeSchedule(e)) + "</td><td><ol start=\"0\">";
        for (size_t t = 0; t < e.triggers.size(); ++t) {
            body += "<li>" + h(describeTrigger(e.triggers[t])) + " <details><summary>edit</summary>"
                    "<form method=\"post\" action=\"/entries\">" + csrf + "<input type=\"hidden\" name=\"entry\" value=\"" +
                    idx + "\"><input type=\"hidden\" name=\"trigger\" value=\"" + std::to_string(t) + "\">" +
                    triggerFields(e.triggers[t]) + "<br><button name=\"do\" value=\"set-trigger\">Save trigger</button> "
                    "<button name=\"do\" value=\"del-trigger\">Delete trigger</button></form></details></li>";
        }
        body += "</ol><details><summary>add a trigger</summary><form method=\"post\" action=\"/entries\">" + csrf +
                "<input type=\"hidden\" name=\"entry\" value=\"" + idx + "\">Preset: " + presetPicker(presets, known, "") +
                "<br>" + triggerFields(TriggerForm{}) + "<br><button name=\"do\" value=\"add-trigger\">Add trigger</button>"
                "</form></details></td><td><form method=\"post\" action=\"/entries\">" + csrf +
                "<input type=\"hidden\" name=\"entry\" value=\"" + idx +
                "\"><button name=\"do\" value=\"del-entry\">Delete entry</button></form><details><summary>edit entry"
                "</summary><form method=\"post\" action=\"/entries\">" + csrf + "<input type=\"hidden\" name=\"entry\" "
                "value=\"" + idx + "\"><label>Variable <input name=\"variable\" value=\"" + h(e.variable) +
                "\"></label> <label><input type=\"checkbox\" name=\"log\" value=\"1\"" + (e.log ? " checked" : "") +
                "> logged</label><br>" + scheduleFields(e) + "<br><button name=\"do\" value=\"set-entry\">Save entry</button>"
                "</form></details></td></tr>";
    }
    body += "</table><h2>Add an entry</h2><form method=\"post\" action=\"/entries\" id=\"add-entry\">" + csrf +
            "<p><label>Variable <input name=\"variable\" id=\"variable\" list=\"vars\"></label><datalist id=\"vars\">";
    for (const auto& v : vars) body += "<option value=\"" + h(v) + "\">";
    body += "</datalist> <label><input type=\"checkbox\" name=\"log\" value=\"1\" checked> logged</label></p><p>" +
            scheduleFields(EntryForm{}) + "</p><p>First trigger from a preset: " + presetPicker(presets, known, "") +
            " (its variable is taken when the field above is empty)</p><p><button name=\"do\" value=\"add-entry\" "
            "id=\"add\">Add entry</button></p></form>";
    return layout("Entries", body, &s);
}

std::string entriesAction(PageContext& c, WebSession& s, const Params& p)
{
    std::string what = p("do");
    std::string entry = std::to_string(std::strtoul(p("entry").c_str(), nullptr, 10));
    std::string trigger = std::to_string(std::strtoul(p("trigger").c_str(), nullptr, 10));
    auto presetTrigger = [&](PresetForm* out) {
        if (p("preset").empty()) return false;
        auto all = c.presets(s);
        size_t i = std::strtoul(p("preset").c_str(), nullptr, 10);
        if (i >= all.size()) return false;
        *out = all[i].second;
        return true;
    };
    if (what == "validate") {
        auto problems = c.validate(s);
        std::string out = "validate: " + std::string(problems.empty() ? "no problems" : std::to_string(problems.size()) + " problem(s)");
        for (const auto& pr : problems) out += "\n" + pr;
        return out;
    }
    if (what == "diff") return "diff:\n" + c.diffText(s, false);
    if (what == "commit") return outcomeText("commit", c.commit(s));
    if (what == "del-entry") {
        return outcomeText("del monitor-entry/" + entry + "/", c.run(s, "del", kKeys + "config/monitor-entry/" + entry + "/", std::nullopt));
    }
    if (what == "del-trigger") {
        std::string key = "config/action-trigger/" + entry + "/" + trigger + "/";
        return outcomeText("del " + key, c.run(s, "del", kKeys + key, std::nullopt));
    }
    if (what == "set-trigger") {
        std::string key = "config/action-trigger/" + entry + "/" + trigger + "/";
        return outcomeText("set " + key, c.run(s, "set", kKeys + key, entry + "/" + trigger + "/" + triggerXml(triggerFromForm(p))));
    }
    if (what == "add-trigger") {
        PresetForm preset;
        TriggerForm t = presetTrigger(&preset) ? preset.trigger : triggerFromForm(p);
        std::string key = "config/action-trigger/" + entry + "/";
        return outcomeText("add " + key, c.run(s, "add", kKeys + key, entry + "/" + triggerXml(t)));
    }
    if (what == "set-entry") {
        // The entry is read again so that its triggers go back unchanged.
        std::string key = kKeys + "config/monitor-entry/" + entry + "/";
        RequestOutcome current = c.run(s, "get", key, std::nullopt);
        EntryForm e;
        if (!current.result || *current.result < 0 || !readEntry(current.reply, &e)) {
            return outcomeText("get monitor-entry/" + entry + "/", current);
        }
        entryFieldsFromForm(p, &e);
        return outcomeText("set monitor-entry/" + entry + "/", c.run(s, "set", key, entry + "/" + entryXml(e)));
    }
    if (what == "add-entry") {
        EntryForm e;
        entryFieldsFromForm(p, &e);
        PresetForm preset;
        if (presetTrigger(&preset)) {
            if (e.variable.empty()) e.variable = preset.variable;
            e.triggers.push_back(preset.trigger);
        }
        if (e.variable.empty()) return "add entry: no variable given";
        return outcomeText("add monitor-entry/", c.run(s, "add", kKeys + "config/monitor-entry/", entryXml(e)));
    }
    return "unknown operation";
}

std::string logsPage(PageContext& c, WebSession& s, const std::string& name, const std::string& filter)
{
    std::string body;
    if (name.empty()) {
        body += "<ul id=\"logs\">";
        for (const auto& n : listLogs(c.logFolder())) {
            body += "<li><a href=\"/logs?name=" + h(q(n)) + "\">" + h(n) + "</a> (<a href=\"/logs/download?name=" + h(q(n)) +
                    "\">download</a>, <a href=\"/graph?day=" + h(q(n)) + "\">graph</a>)</li>";
        }
        return layout("Logs", body + "</ul>", &s);
    }
    std::string text;
    if (!readLog(c.logFolder(), name, &text)) {
        return layout("Logs", "<p class=\"warn\">No log named " + h(name) + ".</p>", &s);
    }
    body += "<form method=\"get\" action=\"/logs\"><input type=\"hidden\" name=\"name\" value=\"" + h(name) +
            "\"><label>Lines containing <input name=\"filter\" value=\"" + h(filter) +
            "\"></label> <button>Filter</button> <a href=\"/logs/download?name=" + h(q(name)) + "\">download</a></form><pre id=\"log\">";
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        if (filter.empty() || line.find(filter) != std::string::npos) body += h(line) + "\n";
    }
    return layout("Log " + name, body + "</pre>", &s);
}

std::string graphPage(PageContext& c, WebSession& s, const std::string& variable, const std::string& dayParam,
                      bool week)
{
    auto days = listLogs(c.logFolder());
    std::string day = dayParam.empty() && !days.empty() ? days.front() : dayParam;
    std::vector<std::string> names;
    std::string text;
    if (readLog(c.logFolder(), day, &text)) names = sampledNames(text);
    std::string var = variable.empty() && !names.empty() ? names.front() : variable;
    std::string body = "<form method=\"get\" action=\"/graph\"><label>Variable " + select("var", names, var) +
                       "</label> <label>Day " + dayPicker(c, day) + "</label> <label>Span " +
                       select("span", {"day", "week"}, week ? "week" : "day") + "</label> <button>Draw</button></form>";
    Series series = readSeries(c, var, day, week);
    body += "<p id=\"summary\">" + h(var) + ": " + std::to_string(series.points.size()) + " samples, " +
            std::to_string(series.alerts.size()) + " alerts</p>" + svgGraph(series, thresholds(c, s, var), nullptr) +
            "<p>Dashed: thresholds of the triggers on this variable; red lines: alerts.</p>";
    return layout("Graph", body, &s);
}

std::string tryPage(PageContext& c, WebSession& s, const Params& p)
{
    auto presets = c.presets(s);
    auto known = knownVariables(c);
    auto days = listLogs(c.logFolder());
    std::string day = p("day").empty() && !days.empty() ? days.front() : p("day");
    std::string body = "<form method=\"get\" action=\"/try\" id=\"try\"><p><label>Variable <input name=\"var\" value=\"" +
                       h(p("var")) + "\"></label> <label>Day " + dayPicker(c, day) + "</label></p><p>Preset: " +
                       presetPicker(presets, known, p("preset")) + " or existing trigger <input name=\"existing\" "
                       "size=\"6\" placeholder=\"E/T\" value=\"" + h(p("existing")) + "\"> or:</p><p>";
    TriggerForm t = p("run").empty() ? TriggerForm{} : triggerFromForm(p);
    std::string variable = p("var");
    std::string source = "the fields";
    if (!p("preset").empty()) {
        size_t i = std::strtoul(p("preset").c_str(), nullptr, 10);
        if (i < presets.size()) {
            t = presets[i].second.trigger;
            if (variable.empty()) variable = presets[i].second.variable;
            source = "preset " + presets[i].second.name;
        }
    } else if (!p("existing").empty()) {
        unsigned long e = std::strtoul(p("existing").c_str(), nullptr, 10);
        size_t slash = p("existing").find('/');
        unsigned long ti = slash == std::string::npos ? 0 : std::strtoul(p("existing").c_str() + slash + 1, nullptr, 10);
        std::vector<std::string> entries;
        std::string error;
        EntryForm entry;
        if (c.table(s, &entries, &error) && e < entries.size() && readEntry(entries[e], &entry) && ti < entry.triggers.size()) {
            // The form's fields change the existing trigger when they were sent.
            t = p("run") == "changed" ? triggerFromForm(p) : entry.triggers[ti];
            if (variable.empty()) variable = entry.variable;
            source = "trigger " + std::to_string(e) + "/" + std::to_string(ti);
        }
    }
    body += triggerFields(t) + "</p><p><button name=\"run\" value=\"1\" id=\"run\">Try</button> "
            "<button name=\"run\" value=\"changed\">Try the existing trigger as changed above</button></p></form>";
    if (!p("run").empty() && !variable.empty()) {
        std::string text;
        if (!readLog(c.logFolder(), day, &text)) {
            body += "<p class=\"warn\">No log named " + h(day) + ".</p>";
        } else {
            TryResult r = tryTrigger(variable, t, samplesOf(text, variable), c.interval());
            Series series = readSeries(c, variable, day, false);
            body += "<p id=\"summary\">" + h(source) + " (" + h(describeTrigger(t)) + ") on " + h(variable) + ", " +
                    h(day) + ": " + std::to_string(r.points.size()) + " samples, would have acted " +
                    std::to_string(r.fired) + " times, held back by the repeat limit " + std::to_string(r.suppressed) +
                    " times.</p>";
            std::vector<std::pair<double, std::string>> lines;
            zormon::Sample sv;
            for (const std::string& v : {t.value, t.lowValue, t.highValue}) {
                if (t.kind != "value-changes" && zormon::parseSample(v, &sv) && sv.isNumber) lines.emplace_back(sv.number, describeTrigger(t));
            }
            body += svgGraph(series, lines, &r) + "<p>Red dots: would have acted; orange rings: held back.</p><pre id=\"firings\">";
            for (const auto& pt : r.points) {
                if (pt.fired || pt.suppressed) body += h(pt.sample.clock + (pt.fired ? " acts  " : " held  ") + pt.message) + "\n";
            }
            body += "</pre>";
        }
    }
    return layout("Try a trigger", body, &s);
}

const std::string& consoleScript()
{
    // Shows only the fields of the chosen trigger kind in each form.
    static const std::string script = R"JS(
function zorKinds(form) {
  var kind = form.querySelector('select[name=t_kind]');
  if (!kind) return;
  function update() {
    form.querySelectorAll('.kind-single-value').forEach(function (e) { e.hidden = kind.value !== 'single-value'; });
    form.querySelectorAll('.kind-interval-value').forEach(function (e) { e.hidden = kind.value !== 'interval-value'; });
  }
  kind.addEventListener('change', update);
  update();
}
document.addEventListener('DOMContentLoaded', function () {
  document.querySelectorAll('form').forEach(zorKinds);
});
)JS";
    return script;
}

} // namespace console
