#include "monitorlogic.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>

namespace zormon {

namespace {

const char* const kBlanks = " \t\r\n\v\f";

/// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
long daysFromCivil(long year, long month, long day)
{
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yearOfEra = year - era * 400;
    const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

long floorDiv(long a, long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

std::tm localParts(std::time_t when)
{
    std::tm parts{};
    localtime_r(&when, &parts);
    return parts;
}

/// Whether the trigger can compare at all, and its result.
struct Outcome {
    bool comparable = true;
    bool holds = false;
};

Outcome compareSingle(const SingleValueTrigger& trigger, const Sample& bound, const Sample& examined)
{
    const bool numbers = examined.isNumber && bound.isNumber;
    switch (trigger.getComparisonType()) {
    case equals:
        return {true, numbers ? examined.number == bound.number : examined.text == bound.text};
    case notEquals:
        return {true, numbers ? examined.number != bound.number : examined.text != bound.text};
    case greaterThan:
        return numbers ? Outcome{true, examined.number > bound.number} : Outcome{false, false};
    case lessThan:
        return numbers ? Outcome{true, examined.number < bound.number} : Outcome{false, false};
    }
    return {false, false};
}

Outcome compareInterval(const IntervalValueTrigger& trigger, const TriggerBounds& bounds, const Sample& examined)
{
    if (!bounds.usable || !examined.isNumber) {
        return {false, false};
    }
    const bool inRange = bounds.low.number <= examined.number && examined.number <= bounds.high.number;
    return {true, trigger.getIntervalType() == inside ? inRange : !inRange};
}

bool differs(const Sample& a, const Sample& b)
{
    if (a.isNumber && b.isNumber) {
        return a.number != b.number;
    }
    return a.text != b.text;
}

/// The value a trigger examines: the sample itself, or the average, minimum
/// or maximum of the window (computed into *computed). A text sample is
/// examined as it is, since a window of numbers says nothing about it.
const Sample& examinedValue(TriggerValueType type, const Sample& sample,
                            const std::vector<std::pair<std::time_t, double>>& window, Sample* computed)
{
    if (type == instantaneous || !sample.isNumber || window.empty()) {
        return sample;
    }
    double result = window.front().second;
    double sum = 0;
    for (const auto& taken : window) {
        sum += taken.second;
        if (type == minimum) {
            result = std::min(result, taken.second);
        } else if (type == maximum) {
            result = std::max(result, taken.second);
        }
    }
    if (type == average) {
        result = sum / static_cast<double>(window.size());
    }
    computed->isNumber = true;
    computed->number = result;
    computed->text = formatNumber(result);
    return *computed;
}

void addField(std::ostringstream& out, const std::string& field) { out << field.size() << ':' << field << ';'; }

} // namespace

bool parseSample(const std::string& raw, Sample* out)
{
    const size_t first = raw.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return false;
    }
    // Assigned in place: a Sample reused from one reading to the next keeps
    // its buffer, so the common short value costs no allocation.
    std::string& text = out->text;
    text.assign(raw, first, raw.find_last_not_of(kBlanks) - first + 1);
    size_t at = text[0] == '+' || text[0] == '-' ? 1 : 0;
    const size_t digitsStart = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        ++at;
    }
    bool number = at > digitsStart;
    if (number && at < text.size() && text[at] == '.') {
        const size_t fractionStart = ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        number = at > fractionStart;
    }
    out->isNumber = number && at == text.size();
    out->number = out->isNumber ? std::strtod(text.c_str(), nullptr) : 0;
    return true;
}

std::string formatNumber(double number)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", number);
    std::string result = text;
    result.erase(result.find_last_not_of('0') + 1);
    if (!result.empty() && result.back() == '.') {
        result.pop_back();
    }
    return result == "-0" ? "0" : result;
}

std::string dayLogName(std::time_t when)
{
    const std::tm parts = localParts(when);
    char text[32];
    std::strftime(text, sizeof text, "d%Y%m%d.log", &parts);
    return text;
}

std::time_t nextDue(const Frequency* schedule, std::time_t after, long interval)
{
    const std::time_t never = std::numeric_limits<std::time_t>::max();
    if (schedule == nullptr) {
        return never;
    }
    switch (schedule->isA()) {
    case seconds: {
        const unsigned int period = static_cast<const Seconds*>(schedule)->getSeconds();
        return after + std::max<std::time_t>(period, 1);
    }
    case asynchronous:
        return after + std::max<long>(interval, 1);
    case daily:
    case weekly:
        break;
    default:
        return never;
    }
    const bool isWeekly = schedule->isA() == weekly;
    const TimeOfDay timeOfDay = isWeekly ? static_cast<const Weekly*>(schedule)->getTimeOfDay()
                                         : static_cast<const Daily*>(schedule)->getTimeOfDay();
    const long every = std::max(1, isWeekly ? static_cast<const Weekly*>(schedule)->getEvery()
                                            : static_cast<const Daily*>(schedule)->getEvery());
    const int hour = static_cast<int>(timeOfDay.getHour());
    const int minute = static_cast<int>(timeOfDay.getMinutes());
    const std::tm start = localParts(after);
    // Today counts only while its time of day is still ahead on the local
    // clock: after a sample at the first of two equal local times (DST ends)
    // the second one is not another occurrence.
    const bool todayPassed = start.tm_hour > hour || (start.tm_hour == hour && start.tm_min >= minute);
    // A search bounded to ten years keeps an absurd repeat count harmless.
    const long lastDay = std::min<long>(isWeekly ? 7 * every + 7 : every + 1, 3660);
    for (long offset = todayPassed ? 1 : 0; offset <= lastDay; ++offset) {
        std::tm day{};
        day.tm_year = start.tm_year;
        day.tm_mon = start.tm_mon;
        day.tm_mday = start.tm_mday + static_cast<int>(offset);
        day.tm_hour = 12; // noon is never inside a DST gap, so the date normalises cleanly
        day.tm_isdst = -1;
        if (mktime(&day) == static_cast<std::time_t>(-1)) {
            return never;
        }
        const long dayNumber = daysFromCivil(day.tm_year + 1900L, day.tm_mon + 1L, day.tm_mday);
        const bool counts =
            isWeekly ? day.tm_wday == static_cast<const Weekly*>(schedule)->getDayOfWeek() &&
                           (floorDiv(dayNumber - 3, 7) % every + every) % every == 0
                     : (dayNumber % every + every) % every == 0;
        if (!counts) {
            continue;
        }
        std::tm at{};
        at.tm_year = day.tm_year;
        at.tm_mon = day.tm_mon;
        at.tm_mday = day.tm_mday;
        at.tm_hour = hour;
        at.tm_min = minute;
        at.tm_isdst = -1;
        const std::time_t due = mktime(&at);
        if (due != static_cast<std::time_t>(-1) && due > after) {
            return due;
        }
    }
    return never;
}

EntryState::EntryState(MonitorEntry configured)
    : entry(std::move(configured)), name(entry.getVariableName()),
      armed(static_cast<size_t>(std::max(0, entry.getActionTriggerListLength())), true)
{
    bounds.resize(armed.size());
    for (size_t i = 0; i < bounds.size(); ++i) {
        const ActionTrigger* trigger = entry.getActionTrigger(static_cast<unsigned int>(i));
        TriggerBounds& b = bounds[i];
        if (trigger->isA() == singleValue) {
            // An empty bound stays the text "".
            parseSample(static_cast<const SingleValueTrigger*>(trigger)->getValue(), &b.value);
        } else if (trigger->isA() != valueChanges) {
            const auto* interval = static_cast<const IntervalValueTrigger*>(trigger);
            b.usable = parseSample(interval->getLowValue(), &b.low) && parseSample(interval->getHighValue(), &b.high) &&
                       b.low.isNumber && b.high.isNumber;
        }
        needsWindow = needsWindow || trigger->getValueType() != instantaneous;
    }
}

std::string entrySignature(const MonitorEntry& entry)
{
    std::ostringstream out;
    addField(out, entry.getVariableName());
    out << entry.isLog() << ';';
    if (const Frequency* schedule = entry.getFrequency()) {
        out << schedule->isA() << ';';
        if (schedule->isA() == seconds) {
            out << static_cast<const Seconds*>(schedule)->getSeconds() << ';';
        } else if (schedule->isA() == daily || schedule->isA() == weekly) {
            const bool isWeekly = schedule->isA() == weekly;
            const TimeOfDay t = isWeekly ? static_cast<const Weekly*>(schedule)->getTimeOfDay()
                                         : static_cast<const Daily*>(schedule)->getTimeOfDay();
            out << t.getHour() << ':' << t.getMinutes() << ';'
                << (isWeekly ? static_cast<const Weekly*>(schedule)->getEvery()
                             : static_cast<const Daily*>(schedule)->getEvery())
                << ';' << (isWeekly ? static_cast<const Weekly*>(schedule)->getDayOfWeek() : 0) << ';';
        }
    } else {
        out << "none;";
    }
    for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
        const ActionTrigger* trigger = entry.getActionTrigger(static_cast<unsigned int>(i));
        out << "T" << trigger->isA() << ',' << trigger->getValueType() << ',' << trigger->isPermanent() << ';';
        addField(out, trigger->toString()); // comparison or interval kind with its bounds
        const Action& action = trigger->getActionReference();
        out << action.isUdp() << action.isTrap() << action.isShutdown() << action.isLog()
            << action.isPowerOffDrive() << ',' << action.getMaxFrequency() << ';';
        for (int e = 0; e < action.getEmailListSize(); ++e) {
            addField(out, action.getEmail(static_cast<unsigned int>(e)));
        }
    }
    return out.str();
}

Evaluation evaluateSample(EntryState& state, const Sample& sample, std::time_t now, long interval)
{
    Evaluation result;
    const std::string& name = state.name;
    // Only an average, minimum or maximum trigger reads the window; an entry
    // without one keeps none. The window is part of the entry's content, so
    // it cannot be needed later without the entry starting fresh.
    if (sample.isNumber && state.needsWindow) {
        state.window.emplace_back(now, sample.number);
    }
    // After the clock went back, samples "from the future" are dropped too.
    const auto kept = std::find_if(state.window.begin(), state.window.end(), [&](const auto& taken) {
        return !(taken.first < now - interval || taken.first > now);
    });
    state.window.erase(state.window.begin(), kept);
    const bool changed = state.hasPrevious && differs(state.previous, sample);
    const int count = state.entry.getActionTriggerListLength();
    state.armed.resize(static_cast<size_t>(std::max(count, 0)), true);
    state.bounds.resize(state.armed.size());
    state.run.resize(state.armed.size(), 0);
    result.holds.assign(state.armed.size(), false);
    result.values.assign(state.armed.size(), std::string());
    Sample computed;
    for (int i = 0; i < count; ++i) {
        ActionTrigger* trigger = state.entry.getActionTrigger(static_cast<unsigned int>(i));
        const TriggerBounds& bounds = state.bounds[static_cast<size_t>(i)];
        const Sample& examined = examinedValue(trigger->getValueType(), sample, state.window, &computed);
        Outcome outcome;
        if (trigger->isA() == valueChanges) {
            outcome.holds = changed;
        } else if (trigger->isA() == singleValue) {
            outcome = compareSingle(*static_cast<SingleValueTrigger*>(trigger), bounds.value, examined);
        } else {
            outcome = compareInterval(*static_cast<IntervalValueTrigger*>(trigger), bounds, examined);
        }
        if (!outcome.comparable && !state.textRefusalReported) {
            state.textRefusalReported = true;
            result.refusal = name + ": trigger \"" + trigger->toString() + "\" compares a text (value " +
                             quoteValue(examined.text, examined.isNumber) +
                             "); it never fires on texts or against a text bound";
        }
        const auto at = static_cast<size_t>(i);
        result.holds[at] = outcome.holds;
        result.values[at] = quoteValue(examined.text, examined.isNumber);
        // A condition fires once it held on `hold` samples in a row; until
        // then it is pending and an edge-triggered trigger stays armed.
        int& run = state.run[at];
        run = outcome.holds ? std::min(run + 1, 1 << 20) : 0;
        const bool held = outcome.holds && run >= std::max(state.hold, 1);
        bool fires = held;
        if (trigger->isA() != valueChanges && !trigger->isPermanent()) {
            fires = held && state.armed[at];
            state.armed[at] = !held;
        }
        if (!fires) {
            continue;
        }
        Firing firing;
        firing.trigger = i;
        firing.isNumber = examined.isNumber;
        firing.value = quoteValue(examined.text, examined.isNumber);
        firing.message = name + "=" + firing.value + " " + trigger->toString();
        std::string variable = name; // the repeat gate takes it by reference
        if (trigger->getActionReference().shouldPerform(variable, firing.message, firing.isNumber,
                                                         static_cast<long>(now))) {
            result.performed.push_back(std::move(firing));
        } else {
            result.heldBack.push_back(std::move(firing));
        }
    }
    state.previous = sample;
    state.hasPrevious = true;
    return result;
}

} // namespace zormon
