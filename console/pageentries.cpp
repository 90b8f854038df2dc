// The Entries page: the table with a form for each entry and trigger, and
#include "monitorkeys.h"
// the operations those forms send, each one request to the module.
#include "pagekit.h"

#include "configtext.h"

#include <cstdlib>

namespace console {

using namespace page;

namespace {

const std::string kKeys = monitorkeys::kRoot;

} // namespace

std::string entriesPage(PageContext& c, WebSession& s)
{
    zor::Expected<std::vector<std::string>> table = c.table(s);
    std::vector<std::string> entries = table.valueOr({});
    std::string body;
    if (!table) body += "<p class=\"warn\">" + h(table.error()) + "</p>";
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

} // namespace console
