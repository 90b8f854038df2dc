// The Entries page: one page of the table at a time, a page for each entry
// with the forms that change it and its triggers, and the operations those
// forms send. Every edit is checked as `zorhost validate` checks, before it
// is sent: a form with problems comes back with the values typed and each
// message beside its field, and nothing reaches the store.
#include "monitorkeys.h"
#include "pagekit.h"

#include "configtext.h"
#include "entryforms.h"

#include <cstdlib>

namespace console {

using namespace page;
using entryform::Problems;

namespace {

const std::string kKeys = monitorkeys::kRoot;

std::string entryKey(size_t i) { return kKeys + "config/monitor-entry/" + std::to_string(i) + "/"; }
std::string triggerKey(size_t e, size_t t)
{
    return kKeys + "config/action-trigger/" + std::to_string(e) + "/" + std::to_string(t) + "/";
}

bool succeeded(const RequestOutcome& o) { return !o.hostError && !o.exception && o.result && *o.result >= 0; }

std::string trimmed(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r\n"), e = text.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : text.substr(b, e - b + 1);
}

/// Why a request failed, in a sentence.
std::string why(const RequestOutcome& o)
{
    if (o.hostError) return "the console could not reach the module: " + *o.hostError;
    if (o.exception) return "the module failed (" + o.exception->type + ")";
    return "the module refused it: " + trimmed(o.reply) + " (result " + std::to_string(o.result.value_or(0)) + ")";
}

std::string entryName(size_t i, const EntryForm& e) { return "Entry " + std::to_string(i) + " (" + e.variable + ")"; }

std::string plural(size_t n, const std::string& one) { return std::to_string(n) + " " + one + (n == 1 ? "" : "s"); }

/// The stored entry, or why it cannot be read.
bool stored(PageContext& c, WebSession& s, size_t index, EntryForm* e, std::string* error)
{
    RequestOutcome o = c.run(s, "get", entryKey(index), std::nullopt);
    if (!succeeded(o)) {
        *error = "Entry " + std::to_string(index) + " could not be read: " + why(o);
        return false;
    }
    if (!readEntry(o.reply, e)) {
        *error = "Entry " + std::to_string(index) + " could not be read: its text is not a monitor entry";
        return false;
    }
    return true;
}

std::vector<FieldProblem> check(PageContext& c, const EntryForm& e)
{
    return checkText(entryXml(e), monvalidate::DocumentKind::monitorEntry, catalogueOf(c.monitor()));
}

/// The form a page shows again with what was typed and the problems found.
struct Retry {
    std::string form; ///< "entry", "trigger" (with trigger), "add-trigger" or "add-entry"
    size_t trigger = 0;
    EntryForm entry;
    TriggerForm triggerForm;
    std::string preset;
    Problems problems;
    const Params* typed = nullptr; ///< the form as sent
};

std::string hidden(const std::string& name, const std::string& value)
{
    return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + h(value) + "\">";
}

std::string postForm(const WebSession& s, const std::string& inside, const std::string& id = "")
{
    return "<form method=\"post\" action=\"/entries\"" + (id.empty() ? "" : " id=\"" + id + "\"") + ">" +
           csrfField(s) + inside + "</form>";
}

std::string editsLine(PageContext& c, WebSession& s)
{
    EditsSummary e = c.edits(s);
    std::string out = "<p id=\"edits\">";
    if (e.users.empty()) {
        out += "No uncommitted edits from this console's logins.";
    } else {
        out += "Uncommitted edits: ";
        for (size_t i = 0; i < e.users.size(); ++i) {
            out += (i ? ", " : "") + h(e.users[i].first) + " " + std::to_string(e.users[i].second);
        }
        out += ".";
    }
    if (e.socketSessions > 0) {
        out += " " + plural(e.socketSessions, "socket session") +
               " open; edits made there are in the same store but not counted here.";
    }
    return out + "</p>";
}

std::string listLink(const EntryQuery& q, size_t offset, const std::string& label, const std::string& rel)
{
    return "<a rel=\"" + rel + "\" href=\"/entries?offset=" + std::to_string(offset) + "&amp;limit=" +
           std::to_string(q.limit) + (q.q.empty() ? "" : "&amp;q=" + page::q(q.q)) +
           (q.action.empty() ? "" : "&amp;action=" + page::q(q.action)) + "\">" + label + "</a>";
}

std::string pager(const EntryQuery& q, size_t total, size_t shown)
{
    std::string out = "<p class=\"pager\">";
    out += total == 0 ? std::string("No entries") + (q.filtered() ? " match." : ".")
                      : "Entries " + std::to_string(q.offset + (shown ? 1 : 0)) + "&ndash;" +
                            std::to_string(q.offset + shown) + " of " + std::to_string(total) +
                            (q.filtered() ? " that match" : "") + ".";
    if (q.offset > 0) out += " " + listLink(q, q.offset > q.limit ? q.offset - q.limit : 0, "&larr; previous", "prev");
    if (q.offset + q.limit < total) out += " " + listLink(q, q.offset + q.limit, "next &rarr;", "next");
    return out + "</p>";
}

std::string addEntryForm(PageContext& c, WebSession& s, const Retry* retry)
{
    bool again = retry != nullptr && retry->form == "add-entry";
    Problems none;
    const Problems& problems = again ? retry->problems : none;
    EntryForm e = again ? retry->entry : EntryForm{};
    if (!again) e.log = true;
    std::string body = "<h2>Add an entry</h2>" + entryform::unplaced(problems) +
                       "<p><label>Variable <input name=\"variable\" id=\"variable\" list=\"vars\" value=\"" +
                       h(e.variable) + "\"></label>";
    for (const auto& m : problems.count("variable") ? problems.at("variable") : std::vector<std::string>{}) {
        body += " <span class=\"problem warn\" data-field=\"variable\">" + h(m) + "</span>";
    }
    body += "<datalist id=\"vars\">";
    for (const auto& v : variableNames(c)) body += "<option value=\"" + h(v) + "\">";
    body += "</datalist> <label><input type=\"checkbox\" name=\"log\" value=\"1\"" + std::string(e.log ? " checked" : "") +
            "> logged</label></p><p>" + entryform::scheduleFields(e, problems, again ? retry->typed : nullptr) +
            "</p><p><label>First trigger " +
            entryform::presetChoice(c.presets(s), knownVariables(c), again ? retry->preset : "", "none (add triggers later)") +
            "</label></p><p>A preset gives the entry its variable (when the field above is empty) and its trigger; the "
            "configuration keeps no preset names.</p><p><button name=\"do\" value=\"add-entry\" id=\"add\">Add entry"
            "</button></p>";
    return postForm(s, body, "add-entry");
}

std::string listPage(PageContext& c, WebSession& s, const EntryQuery& query, const Retry* retry)
{
    std::string body;
    zor::Expected<EntrySlice> slice = c.entries(s, query);
    if (!slice) body += "<p class=\"warn\">" + h(slice.error()) + "</p>";
    EntrySlice rows = slice.valueOr({});
    body += editsLine(c, s) +
            postForm(s, "<button name=\"do\" value=\"validate\" id=\"validate\">Validate</button> "
                        "<button name=\"do\" value=\"commit\" id=\"commit\">Commit</button> "
                        "<button name=\"do\" value=\"discard\" id=\"discard\">Discard&hellip;</button> "
                        "<a href=\"/diff\" id=\"diff-link\">What a commit would change</a>");
    body += "<form method=\"get\" action=\"/entries\" id=\"search\"><label>Variable <input name=\"q\" value=\"" +
            h(query.q) + "\"></label> <label>Action <select name=\"action\">" + option("", "any", query.action.empty());
    for (const auto& kind : actionKinds()) body += option(kind, kind, kind == query.action);
    body += "</select></label> <input type=\"hidden\" name=\"limit\" value=\"" + std::to_string(query.limit) +
            "\"><button>Search</button></form>" + pager(query, rows.total, rows.rows.size());
    body += "<table id=\"entries\"><tr><th>#</th><th>Variable</th><th>Schedule</th><th>Triggers</th><th></th></tr>";
    for (const EntryRow& row : rows.rows) {
        std::string idx = std::to_string(row.index);
        if (!row.readable) {
            body += "<tr class=\"entry\"><td>" + idx + "</td><td colspan=\"4\">" + h(row.xml) + "</td></tr>";
            continue;
        }
        const EntryForm& e = row.form;
        body += "<tr class=\"entry\"><td>" + idx + "</td><td class=\"variable\"><a href=\"/entries/" + idx + "\">" +
                h(e.variable) + "</a>" + (e.log ? " (logged)" : "") + "</td><td>" + h(describeSchedule(e)) +
                "</td><td><ol start=\"0\">";
        for (const TriggerForm& t : e.triggers) body += "<li>" + h(describeTrigger(t)) + "</li>";
        body += "</ol></td><td><a href=\"/entries/" + idx + "\">Edit</a> " +
                postForm(s, hidden("entry", idx) + "<button name=\"do\" value=\"del-entry\">Delete&hellip;</button>") +
                "</td></tr>";
    }
    body += "</table>" + pager(query, rows.total, rows.rows.size()) + addEntryForm(c, s, retry);
    return layout("Entries", body, &s);
}

std::string entryPageWith(PageContext& c, WebSession& s, size_t index, const Retry* retry)
{
    EntryForm e;
    std::string error;
    if (!stored(c, s, index, &e, &error)) {
        return layout("Entry " + std::to_string(index), "<p class=\"warn\">" + h(error) +
                                                            "</p><p><a href=\"/entries\">All entries</a></p>", &s);
    }
    const std::string idx = std::to_string(index);
    auto again = [retry](const std::string& form, size_t trigger = 0) {
        return retry != nullptr && retry->form == form && retry->trigger == trigger;
    };
    Problems none;
    std::string body = "<p><a href=\"/entries?offset=" + std::to_string(index - index % EntryQuery::kDefaultLimit) +
                       "\">All entries</a></p>" + editsLine(c, s) + "<h2>The entry</h2>";
    {
        const EntryForm& shown = again("entry") ? retry->entry : e;
        const Problems& problems = again("entry") ? retry->problems : none;
        std::string inside = hidden("entry", idx) + entryform::unplaced(problems) +
                             "<label>Variable <input name=\"variable\" value=\"" + h(shown.variable) + "\"></label>";
        for (const auto& m : problems.count("variable") ? problems.at("variable") : std::vector<std::string>{}) {
            inside += " <span class=\"problem warn\" data-field=\"variable\">" + h(m) + "</span>";
        }
        inside += " <label><input type=\"checkbox\" name=\"log\" value=\"1\"" + std::string(shown.log ? " checked" : "") +
                  "> logged</label><br>" + entryform::scheduleFields(shown, problems, again("entry") ? retry->typed : nullptr) +
                  "<br><button name=\"do\" value=\"set-entry\" id=\"save-entry\">Save entry</button> "
                  "<button name=\"do\" value=\"del-entry\" id=\"delete-entry\">Delete entry&hellip;</button>";
        body += postForm(s, inside, "entry-form");
    }
    body += "<h2>Triggers</h2><ol start=\"0\" id=\"triggers\">";
    for (size_t t = 0; t < e.triggers.size(); ++t) {
        const TriggerForm& shown = again("trigger", t) ? retry->triggerForm : e.triggers[t];
        const Problems& problems = again("trigger", t) ? retry->problems : none;
        body += "<li>" + h(describeTrigger(e.triggers[t])) +
                postForm(s, hidden("entry", idx) + hidden("trigger", std::to_string(t)) + entryform::unplaced(problems) +
                                entryform::triggerFields(shown, problems, again("trigger", t) ? retry->typed : nullptr) +
                                "<br><button name=\"do\" value=\"set-trigger\">Save trigger</button> "
                                "<button name=\"do\" value=\"del-trigger\">Delete trigger&hellip;</button>") +
                "</li>";
    }
    const Problems& problems = again("add-trigger") ? retry->problems : none;
    body += "</ol><h2>Add a trigger</h2>" +
            postForm(s, hidden("entry", idx) + entryform::unplaced(problems) + "<p><label>From a preset " +
                            entryform::presetChoice(c.presets(s), knownVariables(c), again("add-trigger") ? retry->preset : "",
                                                    "none: the fields below") +
                            "</label></p><p>" +
                            entryform::triggerFields(again("add-trigger") ? retry->triggerForm : TriggerForm{}, problems,
                                                     again("add-trigger") ? retry->typed : nullptr) +
                            "</p><button name=\"do\" value=\"add-trigger\" id=\"add-trigger\">Add trigger</button>",
                     "add-trigger-form");
    return layout(entryName(index, e), body, &s);
}

EntryQuery firstOnly()
{
    EntryQuery q;
    q.limit = 1;
    return q;
}

FormOutcome shown(std::string page, int status = 200)
{
    FormOutcome o;
    o.page = std::move(page);
    o.status = status;
    return o;
}

FormOutcome told(std::string flash, std::string location = "/entries")
{
    FormOutcome o;
    o.flash = std::move(flash);
    o.location = std::move(location);
    return o;
}

/// A question before something goes: yes sends do=confirmed with the fields
/// given, no goes back.
FormOutcome ask(WebSession& s, const std::string& title, const std::string& question, const std::string& fields,
                const std::string& yes, const std::string& back)
{
    return shown(layout(title, "<p id=\"question\">" + h(question) + "</p>" +
                                   postForm(s, fields + "<button name=\"do\" value=\"" + yes + "\" id=\"confirm\">" +
                                                   h(title) + "</button> <a href=\"" + back + "\" id=\"cancel\">Cancel</a>"),
                               &s));
}

FormOutcome commitOrRefuse(PageContext& c, WebSession& s)
{
    // The validator reports problems only, no warnings: a configuration
    // with any problem is not committed.
    std::vector<std::string> problems = c.validate(s);
    if (!problems.empty()) {
        std::string body = "<p class=\"warn\" id=\"refused\">Nothing was committed: the configuration has " +
                           plural(problems.size(), "problem") + ". Correct them, or Discard the edits.</p><ul id=\"problems\">";
        for (const auto& p : problems) body += "<li>" + h(p) + "</li>";
        return shown(layout("Commit refused", body + "</ul><p><a href=\"/entries\">Back to the entries</a></p>", &s), 422);
    }
    RequestOutcome o = c.commit(s);
    if (!succeeded(o)) return told("The commit failed: " + why(o) + ".");
    if (o.reply.find("No session changes") != std::string::npos) {
        return told("Nothing to commit: this login has made no edits (another login's edits are committed by it).");
    }
    return told("Committed: the configuration file now holds the entries shown.");
}

} // namespace

zor::Expected<EntrySlice> PageContext::entries(WebSession& s, const EntryQuery& query)
{
    zor::Expected<std::vector<std::string>> all = table(s);
    if (!all) return zor::Error{all.error()};
    return sliceOf(*all, query);
}

RequestOutcome PageContext::discard(WebSession&)
{
    RequestOutcome o;
    o.hostError = "discarding is not offered here";
    return o;
}

EditsSummary PageContext::edits(WebSession&) { return {}; }

std::string entriesPage(PageContext& c, WebSession& s, const EntryQuery& query)
{
    return listPage(c, s, query, nullptr);
}

std::string entryPage(PageContext& c, WebSession& s, size_t index) { return entryPageWith(c, s, index, nullptr); }

FormOutcome entriesAction(PageContext& c, WebSession& s, const Params& p)
{
    const std::string what = p("do");
    const size_t entry = std::strtoul(p("entry").c_str(), nullptr, 10);
    const size_t trigger = std::strtoul(p("trigger").c_str(), nullptr, 10);
    const std::string idx = std::to_string(entry), back = "/entries/" + idx;
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
        std::string out = problems.empty() ? "Validate: no problems." : "Validate: " + plural(problems.size(), "problem") + ":";
        for (const auto& pr : problems) out += "\n" + pr;
        return told(out);
    }
    if (what == "diff") {
        // The words and the XML are the Diff page's; an old form's button lands there.
        FormOutcome o;
        o.location = "/diff";
        return o;
    }
    if (what == "commit") return commitOrRefuse(c, s);
    if (what == "discard") {
        EditsSummary e = c.edits(s);
        std::string whose;
        for (const auto& [user, n] : e.users) whose += (whose.empty() ? "" : ", ") + user + " (" + plural(n, "edit") + ")";
        return ask(s, "Discard",
                   "Discard brings the committed configuration file back into the store that every session shares: "
                   "all uncommitted edits go, not only this login's. Edits by console users: " +
                       (whose.empty() ? "none counted" : whose) + ". Socket sessions open: " +
                       std::to_string(e.socketSessions) + " (their edits, if any, go as well). Discard them all?",
                   "", "discard-confirmed", "/entries");
    }
    if (what == "discard-confirmed") {
        RequestOutcome o = c.discard(s);
        return told(succeeded(o) ? "Discarded: the store holds the committed configuration again."
                                 : "Discard failed: " + why(o) + ".");
    }
    EntryForm e;
    std::string error;
    if (what == "add-entry") {
        Retry r;
        r.form = "add-entry";
        r.typed = &p;
        std::vector<FieldProblem> problems = entryform::readEntry(p, &r.entry);
        PresetForm preset;
        r.preset = p("preset");
        if (presetTrigger(&preset)) {
            if (r.entry.variable.empty()) r.entry.variable = preset.variable;
            r.entry.triggers.push_back(preset.trigger);
        }
        if (r.entry.variable.empty()) problems.push_back({"variable", "give the variable to sample, or pick a preset"});
        if (problems.empty()) problems = check(c, r.entry);
        if (!problems.empty()) {
            r.problems = entryform::place(problems, entryform::entryFieldNames());
            return shown(listPage(c, s, EntryQuery(), &r), 422);
        }
        RequestOutcome o = c.run(s, "add", kKeys + "config/monitor-entry/", entryXml(r.entry));
        if (!succeeded(o)) return told("The entry was not added: " + why(o) + ".");
        zor::Expected<EntrySlice> now = c.entries(s, firstOnly());
        size_t at = now && now->total > 0 ? now->total - 1 : 0;
        return told(entryName(at, r.entry) + " added.", "/entries?offset=" + std::to_string(at - at % EntryQuery::kDefaultLimit));
    }
    if (what == "del-entry" || what == "del-entry-confirmed" || what == "set-entry" || what == "del-trigger" ||
        what == "del-trigger-confirmed" || what == "set-trigger" || what == "add-trigger") {
        if (!stored(c, s, entry, &e, &error)) return told(error + ".");
    } else {
        return told("Unknown operation.");
    }
    const std::string name = entryName(entry, e);
    if (what == "del-entry") {
        return ask(s, "Delete", "Delete entry " + idx + ", " + e.variable + ", and its " + plural(e.triggers.size(), "trigger") + "?",
                   hidden("entry", idx) + hidden("variable", e.variable), "del-entry-confirmed", back);
    }
    if (what == "del-entry-confirmed") {
        // The index may name another entry by now: another session deleted one above.
        if (p("variable") != e.variable) return told("Entry " + idx + " is no longer " + p("variable") + "; nothing was deleted.");
        RequestOutcome o = c.run(s, "del", entryKey(entry), std::nullopt);
        if (!succeeded(o)) return told(name + " was not deleted: " + why(o) + ".");
        zor::Expected<EntrySlice> now = c.entries(s, firstOnly());
        bool below = now && now->total > entry;
        return told(name + " deleted" + (below ? "; entries below it moved up one." : "."));
    }
    if (what == "del-trigger" || what == "del-trigger-confirmed") {
        if (trigger >= e.triggers.size()) return told(name + " has no trigger " + std::to_string(trigger) + ".", back);
        const std::string tname = "Trigger " + std::to_string(trigger) + " of entry " + idx + " (" + e.variable + ")";
        const std::string described = describeTrigger(e.triggers[trigger]);
        if (what == "del-trigger") {
            return ask(s, "Delete", "Delete trigger " + std::to_string(trigger) + " of entry " + idx + " (" + e.variable +
                                        "): " + described + "?",
                       hidden("entry", idx) + hidden("trigger", std::to_string(trigger)) + hidden("was", described),
                       "del-trigger-confirmed", back);
        }
        if (p("was") != described) return told(tname + " has changed since; nothing was deleted.", back);
        RequestOutcome o = c.run(s, "del", triggerKey(entry, trigger), std::nullopt);
        if (!succeeded(o)) return told(tname + " was not deleted: " + why(o) + ".", back);
        return told(tname + " deleted" + (trigger + 1 < e.triggers.size() ? "; triggers below it moved up one." : "."), back);
    }
    if (what == "set-entry") {
        Retry r;
        r.form = "entry";
        r.typed = &p;
        r.entry = e; // the triggers go back unchanged
        std::vector<FieldProblem> problems = entryform::readEntry(p, &r.entry);
        if (r.entry.variable.empty()) problems.push_back({"variable", "give the variable this entry samples"});
        if (problems.empty()) problems = check(c, r.entry);
        if (!problems.empty()) {
            r.problems = entryform::place(problems, entryform::entryFieldNames());
            return shown(entryPageWith(c, s, entry, &r), 422);
        }
        RequestOutcome o = c.run(s, "set", entryKey(entry), idx + "/" + entryXml(r.entry));
        if (!succeeded(o)) return told(name + " was not saved: " + why(o) + ".", back);
        return told(entryName(entry, r.entry) + " saved.", back);
    }
    // set-trigger, add-trigger
    Retry r;
    r.form = what == "set-trigger" ? "trigger" : "add-trigger";
    r.trigger = what == "set-trigger" ? trigger : 0;
    if (what == "set-trigger" && trigger >= e.triggers.size()) return told(name + " has no trigger " + std::to_string(trigger) + ".", back);
    PresetForm preset;
    r.preset = p("preset");
    std::vector<FieldProblem> problems;
    if (what == "add-trigger" && presetTrigger(&preset)) {
        r.triggerForm = preset.trigger;
    } else {
        problems = entryform::readTrigger(p, &r.triggerForm);
        r.typed = &p;
    }
    if (problems.empty()) {
        // The trigger is checked in its entry, alone: the variable's kind and
        // the log flag count, the other triggers' problems are theirs.
        EntryForm alone = e;
        alone.triggers = {r.triggerForm};
        problems = check(c, alone);
    }
    if (!problems.empty()) {
        r.problems = entryform::place(problems, entryform::triggerFieldNames());
        return shown(entryPageWith(c, s, entry, &r), 422);
    }
    const std::string number = std::to_string(what == "set-trigger" ? trigger : e.triggers.size());
    if (what == "set-trigger") {
        RequestOutcome o = c.run(s, "set", triggerKey(entry, trigger), idx + "/" + number + "/" + triggerXml(r.triggerForm));
        if (!succeeded(o)) return told("Trigger " + number + " of entry " + idx + " was not saved: " + why(o) + ".", back);
        return told("Trigger " + number + " of entry " + idx + " (" + e.variable + ") saved.", back);
    }
    RequestOutcome o = c.run(s, "add", kKeys + "config/action-trigger/" + idx + "/", idx + "/" + triggerXml(r.triggerForm));
    if (!succeeded(o)) return told("The trigger was not added to entry " + idx + ": " + why(o) + ".", back);
    return told("Trigger " + number + " added to entry " + idx + " (" + e.variable + ").", back);
}

} // namespace console
