#include "pagekit.h"
#include "paging.h"

#include "valuescreen.h"

#include "monitorlogic.h"
#include "monitorthread.h"

#include <cstdlib>
#include <sstream>

namespace console {

using namespace page;

namespace {

/// Lines of a day's log and day logs on one page of the Logs page, and the
/// most a request may ask for.
constexpr size_t kLinesShown = 500, kLogsShown = 100, kMostShown = 10000;

std::string times(size_t n) { return n == 1 ? "once" : std::to_string(n) + " times"; }

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
    body += "<h2>Uncommitted changes of this session</h2>" + diffSection(c, s);
    return layout("Overview", body, &s);
}

std::string logsPage(PageContext& c, WebSession& s, const std::string& name, const std::string& filter,
                     const std::string& offset, const std::string& limit)
{
    std::string body;
    if (name.empty()) {
        std::vector<std::string> names = listLogs(c.logFolder());
        Paging p = readPaging(offset, limit, kLogsShown, kMostShown);
        body += "<ul id=\"logs\">";
        for (size_t i = p.offset; i < p.end(names.size()); ++i) {
            const std::string& n = names[i];
            body += "<li><a href=\"/logs?name=" + h(q(n)) + "\">" + h(n) + "</a> (<a href=\"/logs/download?name=" + h(q(n)) +
                    "\">download</a>, <a href=\"/graph?day=" + h(q(n)) + "\">graph</a>)</li>";
        }
        return layout("Logs", body + "</ul>" + pagingLinks("paging", "/logs?", p, names.size(), "log"), &s);
    }
    std::string text;
    if (!readLog(c.logFolder(), name, &text)) {
        return layout("Logs", "<p class=\"warn\">No log named " + h(name) + ".</p>", &s);
    }
    body += "<form method=\"get\" action=\"/logs\"><input type=\"hidden\" name=\"name\" value=\"" + h(name) +
            "\"><label>Lines containing <input name=\"filter\" value=\"" + h(filter) +
            "\"></label> <button>Filter</button> <a href=\"/logs/download?name=" + h(q(name)) + "\">download</a></form><pre id=\"log\">";
    // The filter picks the lines first, so that the pages count only those.
    Paging p = readPaging(offset, limit, kLinesShown, kMostShown);
    std::stringstream ss(text);
    std::string line;
    size_t total = 0;
    while (std::getline(ss, line)) {
        if (!filter.empty() && line.find(filter) == std::string::npos) continue;
        if (total >= p.offset && total < p.offset + p.limit) body += h(line) + "\n";
        ++total;
    }
    const std::string target = "/logs?name=" + q(name) + (filter.empty() ? "" : "&filter=" + q(filter)) + "&";
    return layout("Log " + name, body + "</pre>" + pagingLinks("paging", target, p, total, "line"), &s);
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
        zor::Expected<std::vector<std::string>> entries = c.table(s);
        EntryForm entry;
        if (entries && e < entries->size() && readEntry((*entries)[e], &entry) && ti < entry.triggers.size()) {
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
                    h(day) + ": " + counted(r.points.size(), "sample") + ", would have acted " + times(r.fired) +
                    ", held back by the repeat limit " + times(r.suppressed) + ".</p>";
            const std::string unit = unitOf(variable);
            body += svgGraph(series, thresholdsOf(t, unit), &r, unit) + "<p>Red dots: would have acted; orange rings: held back.</p><pre id=\"firings\">";
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
// Schedule fields show for their kinds only (data-when); a picked preset shows its fields.
function zorChoices(form) {
  var schedule = form.querySelector('select[name=schedule]'), preset = form.querySelector('select.preset');
  function update() {
    if (schedule) form.querySelectorAll('[data-when]').forEach(function (e) {
      e.hidden = e.getAttribute('data-when').split(' ').indexOf(schedule.value) < 0;
    });
    if (preset) form.querySelectorAll('[data-preset]').forEach(function (e) {
      e.hidden = e.getAttribute('data-preset') !== preset.value;
    });
  }
  [schedule, preset].forEach(function (s) { if (s) s.addEventListener('change', update); });
  update();
}
document.addEventListener('DOMContentLoaded', function () {
  document.querySelectorAll('form').forEach(zorKinds);
  document.querySelectorAll('form').forEach(zorChoices);
});
)JS";
    return script;
}

} // namespace console
