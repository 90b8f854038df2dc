#include "configtext.h"

#include "entryrules.h"
#include "hostparse.h"
#include "monitoring.h"
#include "vocabulary.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace console {

namespace {

template <std::size_t N>
std::string wordOf(const char16_t* const (&table)[N], int index)
{
    std::string word;
    vocabulary::appendWord(word, table, index);
    return word;
}

template <std::size_t N>
int indexOf(const char16_t* const (&table)[N], const std::string& word, int fallback)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (wordOf(table, static_cast<int>(i)) == word) {
            return static_cast<int>(i);
        }
    }
    return fallback;
}

// A number of the model as the form field holds it: read back from its
// decimal text, as the console always read the module's texts.
long formNumber(unsigned long long value) { return std::strtol(std::to_string(value).c_str(), nullptr, 10); }

// A form's number as the module reads it from the text that carries it: the
// console hands the module what the form says and leaves the judging (an
// hour past 23, a negative limit) to the module's own rules and messages.
unsigned moduleUnsigned(long value) { return static_cast<unsigned>(entryrules::readNumber(std::to_string(value), true)); }
int moduleSigned(long value) { return static_cast<int>(entryrules::readNumber(std::to_string(value), false)); }

TriggerForm formOf(const ActionTrigger& trigger)
{
    TriggerForm t;
    t.valueType = wordOf(vocabulary::kValueTypes, trigger.getValueType());
    t.permanent = trigger.isPermanent();
    switch (trigger.isA()) {
    case singleValue: {
        const auto& single = static_cast<const SingleValueTrigger&>(trigger);
        t.kind = "single-value";
        t.comparison = wordOf(vocabulary::kComparisons, single.getComparisonType());
        t.value = single.getValue();
        break;
    }
    case intervalValue: {
        const auto& interval = static_cast<const IntervalValueTrigger&>(trigger);
        t.kind = "interval-value";
        t.lowValue = interval.getLowValue();
        t.highValue = interval.getHighValue();
        t.range = wordOf(vocabulary::kIntervals, interval.getIntervalType());
        break;
    }
    case valueChanges:
        t.kind = "value-changes";
        break;
    }
    const Action& action = trigger.getActionReference();
    t.maxFrequency = formNumber(action.getMaxFrequency());
    for (int i = 0; i < action.getEmailListSize(); ++i) {
        t.emails.push_back(action.getEmail(static_cast<unsigned>(i)));
    }
    t.log = action.isLog();
    t.udp = action.isUdp();
    t.trap = action.isTrap();
    t.shutdown = action.isShutdown();
    t.powerOffDrive = action.isPowerOffDrive();
    return t;
}

EntryForm formOf(const MonitorEntry& entry)
{
    EntryForm e;
    e.variable = entry.getVariableName();
    e.log = entry.isLog();
    e.schedule = "none";
    const Frequency* frequency = entry.getFrequency();
    TimeOfDay time;
    switch (frequency != nullptr ? frequency->isA() : noFreq) {
    case seconds:
        e.schedule = "seconds";
        e.seconds = formNumber(static_cast<const Seconds*>(frequency)->getSeconds());
        break;
    case asynchronous:
        e.schedule = "asynchronous";
        break;
    case daily: {
        const auto* schedule = static_cast<const Daily*>(frequency);
        e.schedule = "daily";
        e.every = schedule->getEvery();
        time = schedule->getTimeOfDay();
        break;
    }
    case weekly: {
        const auto* schedule = static_cast<const Weekly*>(frequency);
        e.schedule = "weekly";
        e.every = schedule->getEvery();
        e.dayOfWeek = wordOf(vocabulary::kDays, schedule->getDayOfWeek());
        time = schedule->getTimeOfDay();
        break;
    }
    case noFreq:
        break;
    }
    e.hour = static_cast<int>(time.getHour());
    e.minute = static_cast<int>(time.getMinutes());
    for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
        e.triggers.push_back(formOf(*entry.getActionTrigger(static_cast<unsigned>(i))));
    }
    return e;
}

// The trigger a request carries: the form's trigger with every action the
// form asks for, shutdown included, and its repeat limit as the module reads it.
std::unique_ptr<ActionTrigger> requestTrigger(const TriggerForm& t)
{
    std::unique_ptr<ActionTrigger> trigger(makeModelTrigger(t));
    Action& action = trigger->getActionReference();
    action.setMaxFrequency(moduleUnsigned(t.maxFrequency));
    SetShutdown(t.shutdown, action);
    return trigger;
}

std::unique_ptr<Frequency> requestSchedule(const EntryForm& e)
{
    // The time of day goes in unchecked: an hour the model would refuse
    // reaches the module, which refuses the request in its own words.
    TimeOfDay time;
    time._hour = moduleUnsigned(e.hour);
    time._min = moduleUnsigned(e.minute);
    if (e.schedule == "seconds") {
        auto schedule = std::make_unique<Seconds>();
        schedule->setSeconds(moduleUnsigned(e.seconds));
        return schedule;
    }
    if (e.schedule == "asynchronous") {
        return std::make_unique<Asynchronous>();
    }
    if (e.schedule == "daily") {
        auto schedule = std::make_unique<Daily>();
        schedule->setEvery(moduleSigned(e.every));
        schedule->setTimeOfDay(time);
        return schedule;
    }
    if (e.schedule == "weekly") {
        auto schedule = std::make_unique<Weekly>();
        schedule->setEvery(moduleSigned(e.every));
        schedule->setDayOfWeek(static_cast<DayOfWeek>(indexOf(vocabulary::kDays, e.dayOfWeek, schedule->getDayOfWeek())));
        schedule->setTimeOfDay(time);
        return schedule;
    }
    return nullptr;
}

} // namespace

std::string escapeXml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

bool readTrigger(const std::string& xml, TriggerForm* out)
{
    zor::Expected<std::unique_ptr<ActionTrigger>> trigger = hostparse::trigger(xml);
    if (!trigger) {
        return false;
    }
    *out = formOf(**trigger);
    return true;
}

bool readEntry(const std::string& xml, EntryForm* out)
{
    zor::Expected<MonitorEntry> entry = hostparse::entry(xml);
    if (!entry) {
        return false;
    }
    *out = formOf(*entry);
    return true;
}

bool readPreset(const std::string& xml, PresetForm* out)
{
    zor::Expected<hostparse::Preset> preset = hostparse::preset(xml);
    if (!preset) {
        return false;
    }
    *out = PresetForm{};
    out->name = preset->name;
    out->variable = preset->variable;
    out->unit = preset->unit;
    out->description = preset->description;
    out->trigger = formOf(*preset->trigger);
    return true;
}

std::string triggerXml(const TriggerForm& t)
{
    // Only a platform that cannot start fails here; the module's value
    // check then refuses the empty text before the module sees it.
    return hostparse::text(*requestTrigger(t)).valueOr(std::string());
}

std::string entryXml(const EntryForm& e)
{
    MonitorEntry entry;
    // Logged while the triggers go in: whether a trigger may watch more
    // than the instantaneous value of an entry that is not logged is the
    // module's rule to apply, with its own message.
    entry.setLog(true);
    entry.setVariableName(e.variable);
    if (std::unique_ptr<Frequency> schedule = requestSchedule(e)) {
        entry.setFrequency(schedule.get());
    }
    for (const TriggerForm& t : e.triggers) {
        entry.addActionTrigger(requestTrigger(t).get());
    }
    entry.setLog(e.log);
    return hostparse::text(entry).valueOr(std::string());
}

std::string describeTrigger(const TriggerForm& t)
{
    std::string what = t.valueType == "instantaneous" ? "value" : t.valueType;
    std::string s;
    if (t.kind == "value-changes") {
        s = "value changes";
    } else if (t.kind == "interval-value") {
        s = what + (t.range == "outside" ? " outside " : " inside ") + t.lowValue + " to " + t.highValue;
    } else {
        std::string cmp = t.comparison == "less-than" ? "below"
                          : t.comparison == "equals"  ? "equals"
                          : t.comparison == "not-equals" ? "differs from"
                                                          : "above";
        s = what + " " + cmp + " " + t.value;
    }
    if (t.permanent && t.kind != "value-changes") {
        s += " (every sample while it holds)";
    }
    std::vector<std::string> actions;
    if (!t.emails.empty()) {
        std::string list;
        for (const std::string& e : t.emails) {
            list += (list.empty() ? "" : ", ") + e;
        }
        actions.push_back("e-mail " + list);
    }
    if (t.log) actions.push_back("log");
    if (t.udp) actions.push_back("UDP message");
    if (t.trap) actions.push_back("trap");
    if (t.shutdown) actions.push_back("shut down");
    if (t.powerOffDrive) actions.push_back("power off drive");
    s += ": ";
    if (actions.empty()) {
        s += "no action";
    }
    for (size_t i = 0; i < actions.size(); ++i) {
        s += (i ? ", " : "") + actions[i];
    }
    if (t.maxFrequency > 0) {
        s += "; at most once in " + std::to_string(t.maxFrequency) + " s";
    }
    return s;
}

std::string describeSchedule(const EntryForm& e)
{
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d", e.hour % 100, e.minute % 100);
    if (e.schedule == "seconds") return "every " + std::to_string(e.seconds) + " s";
    if (e.schedule == "asynchronous") return "every monitoring interval";
    const std::string n = std::to_string(e.every);
    if (e.schedule == "daily") return (e.every == 1 ? "daily" : "every " + n + " days") + " at " + time;
    if (e.schedule == "weekly") {
        return (e.every == 1 ? "weekly" : "every " + n + " weeks") + " on " + e.dayOfWeek + " at " + time;
    }
    return "not sampled";
}

ActionTrigger* makeModelTrigger(const TriggerForm& t)
{
    ActionTrigger* trigger = nullptr;
    if (t.kind == "interval-value") {
        auto* iv = new IntervalValueTrigger();
        iv->setLowValue(t.lowValue);
        iv->setHighValue(t.highValue);
        iv->setIntervalType(t.range == "outside" ? outside : inside);
        trigger = iv;
    } else if (t.kind == "value-changes") {
        trigger = new ValueChangesTrigger();
    } else {
        auto* sv = new SingleValueTrigger();
        sv->setComparisonType(t.comparison == "less-than"    ? lessThan
                              : t.comparison == "equals"     ? equals
                              : t.comparison == "not-equals" ? notEquals
                                                             : greaterThan);
        sv->setValue(t.value);
        trigger = sv;
    }
    trigger->setValueType(t.valueType == "average"   ? average
                          : t.valueType == "minimum" ? minimum
                          : t.valueType == "maximum" ? maximum
                                                     : instantaneous);
    trigger->setPermanent(t.permanent);
    Action& action = trigger->getActionReference();
    action.setMaxFrequency(static_cast<unsigned>(t.maxFrequency < 0 ? 0 : t.maxFrequency));
    action.setLog(t.log);
    action.setUdp(t.udp);
    action.setTrap(t.trap);
    action.setPowerOffDrive(t.powerOffDrive);
    for (const std::string& e : t.emails) {
        action.addEmail(e);
    }
    return trigger;
}

TryResult tryTrigger(const std::string& variable, const TriggerForm& trigger, const std::vector<LogPoint>& samples,
                     long interval)
{
    std::unique_ptr<ActionTrigger> modelTrigger(makeModelTrigger(trigger));
    return zormon::tryTrigger(variable, *modelTrigger, samples, interval);
}

} // namespace console
