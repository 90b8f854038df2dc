#include "diffwords.h"

#include "configtext.h"
#include "showdiff.h"

#include <algorithm>
#include <utility>

namespace console {

namespace {

const char* const kArrow = " \u2192 ";

std::string yesNo(bool on, const char* yes, const char* no) { return on ? yes : no; }

std::string joined(const std::vector<std::string>& items, const char* separator)
{
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : separator) + item;
    }
    return out;
}

std::string emailList(const std::vector<std::string>& emails)
{
    return emails.empty() ? "none" : joined(emails, ", ");
}

/// The parts of a trigger an administrator changes one at a time, each
/// named once; a trigger that became another kind of trigger is told whole,
/// before and after, since its fields do not compare.
void triggerChanges(const std::string& name, const TriggerForm& a, const TriggerForm& b,
                    std::vector<std::string>* out)
{
    if (a.kind != b.kind) {
        out->push_back(name + " " + describeTrigger(a) + kArrow + describeTrigger(b));
        return;
    }
    auto field = [&](const std::string& what, const std::string& x, const std::string& y) {
        if (x != y) out->push_back(name + " " + what + " " + x + kArrow + y);
    };
    auto flag = [&](const char* what, bool x, bool y) {
        if (x != y) out->push_back(name + " " + what + " " + yesNo(y, "on", "off"));
    };
    field("value type", a.valueType, b.valueType);
    flag("every sample while it holds", a.permanent, b.permanent);
    if (a.kind == "single-value") {
        field("comparison", a.comparison, b.comparison);
        field("threshold", a.value, b.value);
    } else if (a.kind == "interval-value") {
        field("range", a.range, b.range);
        field("low value", a.lowValue, b.lowValue);
        field("high value", a.highValue, b.highValue);
    }
    if (a.maxFrequency != b.maxFrequency) {
        field("at most once in", std::to_string(a.maxFrequency) + " s", std::to_string(b.maxFrequency) + " s");
    }
    if (a.emails != b.emails) {
        field("e-mail", emailList(a.emails), emailList(b.emails));
    }
    flag("log", a.log, b.log);
    flag("UDP message", a.udp, b.udp);
    flag("trap", a.trap, b.trap);
    flag("shut down", a.shutdown, b.shutdown);
    flag("power off drive", a.powerOffDrive, b.powerOffDrive);
}

/// "2 (cpu)": an entry's index and variable, after "Entry" or "entry".
std::string entryRef(size_t index, const std::string& variable)
{
    return std::to_string(index) + " (" + variable + ")";
}

std::string triggersText(const EntryForm& e)
{
    std::string out;
    for (size_t t = 0; t < e.triggers.size(); ++t) {
        out += "; trigger" + (e.triggers.size() > 1 ? " " + std::to_string(t) : std::string()) + ": " +
               describeTrigger(e.triggers[t]);
    }
    return out;
}

std::string changedEntry(size_t index, const std::string& xa, const std::string& xb)
{
    EntryForm a, b;
    if (!readEntry(xa, &a) || !readEntry(xb, &b)) {
        return "Entry " + std::to_string(index) + " changed (its text is not a readable entry)";
    }
    std::vector<std::string> parts;
    if (a.variable != b.variable) parts.push_back("variable " + a.variable + kArrow + b.variable);
    if (a.log != b.log) parts.push_back(yesNo(b.log, "now logged", "no longer logged"));
    if (describeSchedule(a) != describeSchedule(b)) {
        parts.push_back("schedule " + describeSchedule(a) + kArrow + describeSchedule(b));
    }
    size_t common = std::min(a.triggers.size(), b.triggers.size());
    for (size_t t = 0; t < common; ++t) {
        triggerChanges("trigger " + std::to_string(t), a.triggers[t], b.triggers[t], &parts);
    }
    for (size_t t = common; t < b.triggers.size(); ++t) {
        parts.push_back("added trigger " + std::to_string(t) + ": " + describeTrigger(b.triggers[t]));
    }
    for (size_t t = common; t < a.triggers.size(); ++t) {
        parts.push_back("removed trigger " + std::to_string(t) + " (" + describeTrigger(a.triggers[t]) + ")");
    }
    if (parts.empty()) {
        parts.push_back("its text changed, not what it does");
    }
    return "Entry " + entryRef(index, b.variable) + ": " + joined(parts, "; ");
}

} // namespace

std::vector<std::string> diffWords(const std::vector<std::string>& before, const std::vector<std::string>& after)
{
    // The entries that differ, either side. The XML diff pairs them by
    // position; in words, an entry is the same entry when it watches the same
    // variable, so that removing one entry does not read as every later one
    // changing into its neighbour.
    std::vector<size_t> gone, come;
    for (const EntryChange& c : diffEntries(before, after)) {
        if (c.kind != EntryChange::added) gone.push_back(c.was);
        if (c.kind != EntryChange::removed) come.push_back(c.index);
    }
    auto variableOf = [](const std::string& xml) {
        EntryForm e;
        return readEntry(xml, &e) ? e.variable : std::string();
    };
    std::vector<std::pair<size_t, std::string>> changed; // by the new table's order
    std::vector<std::string> removed, added;
    std::vector<bool> matched(come.size(), false);
    for (size_t was : gone) {
        const std::string variable = variableOf(before[was]);
        size_t k = 0;
        while (k < come.size() && (matched[k] || variableOf(after[come[k]]) != variable)) ++k;
        EntryForm e;
        if (k < come.size()) {
            matched[k] = true;
            changed.emplace_back(come[k], changedEntry(come[k], before[was], after[come[k]]));
        } else {
            removed.push_back(readEntry(before[was], &e) ? "Removed entry " + entryRef(was, e.variable)
                                                         : "Removed entry " + std::to_string(was));
        }
    }
    for (size_t k = 0; k < come.size(); ++k) {
        EntryForm e;
        if (matched[k]) {
            continue;
        } else if (readEntry(after[come[k]], &e)) {
            added.push_back("Added entry " + entryRef(come[k], e.variable) + ": " + describeSchedule(e) + ", " +
                            yesNo(e.log, "logged", "not logged") + triggersText(e));
        } else {
            added.push_back("Added entry " + std::to_string(come[k]) + " (its text is not a readable entry)");
        }
    }
    std::sort(changed.begin(), changed.end());
    std::vector<std::string> lines;
    for (auto& [index, line] : changed) lines.push_back(std::move(line));
    lines.insert(lines.end(), removed.begin(), removed.end());
    lines.insert(lines.end(), added.begin(), added.end());
    return lines;
}

} // namespace console
