#include "entryforms.h"

#include "pagekit.h"

namespace console {
namespace entryform {

using page::h;
using page::option;

namespace {

std::string at(const Problems& problems, const std::string& field)
{
    auto found = problems.find(field);
    if (found == problems.end()) return "";
    std::string out;
    for (const std::string& m : found->second) {
        out += " <span class=\"problem warn\" data-field=\"" + h(field) + "\">" + h(m) + "</span>";
    }
    return out;
}

std::string input(const std::string& name, const std::string& value, int size, const Problems& problems)
{
    return "<input name=\"" + name + "\" size=\"" + std::to_string(size) + "\" value=\"" + h(value) + "\"" +
           (problems.count(name) != 0 ? " class=\"bad\" aria-invalid=\"true\"" : "") + ">" + at(problems, name);
}

std::string choice(const std::string& name, const std::vector<std::string>& values, const std::string& chosen,
                   const Problems& problems)
{
    return page::select(name, values, chosen) + at(problems, name);
}

std::string number(const std::string& name, long value, const Params* typed)
{
    return typed != nullptr ? (*typed)(name) : std::to_string(value);
}

std::string check(const char* name, const char* label, bool on)
{
    return std::string("<label><input type=\"checkbox\" name=\"") + name + "\" value=\"1\"" + (on ? " checked" : "") +
           "> " + label + "</label> ";
}

} // namespace

Problems place(const std::vector<FieldProblem>& problems, const std::set<std::string>& shown)
{
    Problems out;
    for (const FieldProblem& p : problems) {
        std::string field = formFieldOf(p.field);
        out[shown.count(field) != 0 ? field : ""].push_back(p.message);
    }
    return out;
}

const std::set<std::string>& triggerFieldNames()
{
    static const std::set<std::string> names = {"t_valuetype", "t_permanent", "t_comparison", "t_value", "t_low",
                                                "t_high", "t_range", "t_maxfreq", "t_emails"};
    return names;
}

const std::set<std::string>& entryFieldNames()
{
    static const std::set<std::string> names = {"variable", "log", "seconds", "every", "hour", "minute", "day_of_week"};
    return names;
}

std::string unplaced(const Problems& problems)
{
    auto found = problems.find("");
    if (found == problems.end()) return "";
    std::string out = "<ul class=\"problems\">";
    for (const std::string& m : found->second) out += "<li class=\"problem warn\">" + h(m) + "</li>";
    return out + "</ul>";
}

std::string triggerFields(const TriggerForm& t, const Problems& problems, const Params* typed)
{
    std::string emails;
    for (const auto& e : t.emails) emails += (emails.empty() ? "" : ", ") + e;
    return "<label>Kind " + page::select("t_kind", {"single-value", "interval-value", "value-changes"}, t.kind) +
           "</label> <label>Value " +
           choice("t_valuetype", {"instantaneous", "average", "minimum", "maximum"}, t.valueType, problems) +
           "</label> " + check("t_permanent", "every sample while it holds", t.permanent) +
           "<br><span class=\"kind-single-value\"><label>Comparison " +
           choice("t_comparison", {"greater-than", "less-than", "equals", "not-equals"}, t.comparison, problems) +
           "</label> <label>Threshold " + input("t_value", t.value, 8, problems) + "</label></span> "
           "<span class=\"kind-interval-value\"><label>Low " + input("t_low", t.lowValue, 6, problems) +
           "</label> <label>High " + input("t_high", t.highValue, 6, problems) + "</label> " +
           page::select("t_range", {"inside", "outside"}, t.range) + "</span><br>Actions: " +
           check("t_log", "log", t.log) + check("t_udp", "UDP message", t.udp) + check("t_trap", "trap", t.trap) +
           check("t_shutdown", "shut down", t.shutdown) + check("t_poweroff", "power off drive", t.powerOffDrive) +
           "<label>E-mail " + input("t_emails", emails, 30, problems) + "</label> <label>At most once in " +
           input("t_maxfreq", number("t_maxfreq", t.maxFrequency, typed), 6, problems) + " s</label>";
}

std::string scheduleFields(const EntryForm& e, const Problems& problems, const Params* typed)
{
    // data-when names the schedule kinds a field belongs to.
    return "<label>Schedule " +
           page::select("schedule", {"seconds", "asynchronous", "daily", "weekly", "none"}, e.schedule) +
           "</label> <label data-when=\"seconds\">every " + input("seconds", number("seconds", e.seconds, typed), 5, problems) +
           " s</label> <label data-when=\"daily weekly\">every " + input("every", number("every", e.every, typed), 3, problems) +
           " day(s)/week(s)</label> <label data-when=\"weekly\">on " +
           choice("day_of_week", {"sun", "mon", "tue", "wed", "thu", "fri", "sat"}, e.dayOfWeek, problems) +
           "</label> <label data-when=\"daily weekly\">at " + input("hour", number("hour", e.hour, typed), 2, problems) + ":" +
           input("minute", number("minute", e.minute, typed), 2, problems) + "</label>";
}

std::string presetChoice(const std::vector<std::pair<std::string, PresetForm>>& presets,
                         const std::set<std::string>& known, const std::string& chosen, const std::string& none)
{
    std::string out = "<select name=\"preset\" class=\"preset\">" + option("", none, chosen.empty());
    std::string shown;
    for (size_t i = 0; i < presets.size(); ++i) {
        const PresetForm& p = presets[i].second;
        std::string index = std::to_string(i);
        out += option(index, p.name + " [" + p.variable + "]" + (known.count(p.variable) ? "" : " (not on this unit)"),
                      chosen == index);
        shown += "<p class=\"preset-fields\" data-preset=\"" + index + "\"" + (chosen == index ? "" : " hidden") +
                 "><b>" + h(p.name) + "</b>: " + h(p.description) + "<br>Variable " + h(p.variable) +
                 (p.unit.empty() ? "" : " (" + h(p.unit) + ")") + "; trigger: " + h(describeTrigger(p.trigger)) +
                 "</p>";
    }
    return out + "</select>" + shown;
}

std::vector<FieldProblem> readEntry(const Params& p, EntryForm* e)
{
    page::entryFieldsFromForm(p, e);
    std::vector<std::pair<std::string, std::string>> numbers;
    if (e->schedule == "seconds") {
        numbers = {{"seconds", p("seconds")}};
    } else if (e->schedule == "daily" || e->schedule == "weekly") {
        numbers = {{"every", p("every")}, {"hour", p("hour")}, {"min", p("minute")}};
    } else if (e->schedule != "asynchronous") {
        e->schedule = "none";
    }
    return wholeNumberFields(numbers);
}

std::vector<FieldProblem> readTrigger(const Params& p, TriggerForm* t)
{
    *t = page::triggerFromForm(p);
    return wholeNumberFields({{"max-frequency", p("t_maxfreq")}});
}

} // namespace entryform
} // namespace console
