#include "pagekit.h"

#include "monitorthread.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace console {
namespace page {

namespace {

const char* const kStyle =
    "body{font-family:sans-serif;margin:0;color:#222}header{background:#234;color:#fff;padding:.5em 1em}"
    "header a{color:#fff;margin-right:1.2em;text-decoration:none}header form{display:inline;float:right}"
    "main{padding:1em}table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left;"
    "vertical-align:top}.flash{background:#ffd;border:1px solid #cc8;padding:.5em;white-space:pre-wrap}"
    "pre{background:#f4f4f4;padding:.5em;overflow:auto}fieldset{margin:.5em 0}.warn{color:#a00}"
    "svg{background:#fff;border:1px solid #ccc}.pt{fill:#236}.alert{stroke:#c00}.fired{fill:#c00}"
    ".suppressed{fill:none;stroke:#e80;stroke-width:2}.threshold{stroke:#080;stroke-dasharray:4 3}";

} // namespace

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

std::string layout(const std::string& title, const std::string& body, WebSession* s)
{
    std::string out = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + h(title) +
                      " - zorhostd</title><style>" + kStyle + "</style><script src=\"/console.js\" defer></script>"
                      "</head><body><header>";
    if (s != nullptr) {
        out += "<a href=\"/\">Overview</a><a href=\"/alerts\">Alerts</a><a href=\"/entries\">Entries</a><a href=\"/logs\">Logs</a>"
               "<a href=\"/graph\">Graph</a><a href=\"/try\">Try a trigger</a><a href=\"/history\">History</a>"
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

std::string dayPicker(PageContext& c, const std::string& chosen)
{
    std::vector<std::string> days = listLogs(c.logFolder());
    return select("day", days, chosen);
}

} // namespace page
} // namespace console
