#include "triggertry.h"

#include "monitorlogic.h"
#include "monitoring.h"

#include <memory>
#include <set>

namespace console {

TryResult tryTrigger(const std::string& variable, const TriggerSpec& trigger, const std::vector<LogPoint>& samples,
                     long interval)
{
    TryResult result;
    // The evaluator asks the action's repeat gate with the clock of now; a
    // replay of a past day needs the gate at each sample's time, so the
    // trial trigger's own gate is opened (no repeat limit) and the same rule
    // is applied below with the sample's time: within max-frequency seconds
    // of the last action a firing is held back, except a text value's new
    // message, a shutdown and a drive power-off.
    TriggerSpec open = trigger;
    open.maxFrequency = 0;
    std::unique_ptr<ActionTrigger> modelTrigger(makeModelTrigger(open));
    Seconds schedule;
    schedule.setSeconds(static_cast<unsigned>(interval > 0 ? interval : 60));
    MonitorEntry entry(true, variable, &schedule);
    entry.addActionTrigger(modelTrigger.get());
    zormon::EntryState state(entry);

    bool acted = false;
    std::time_t lastAction = 0;
    std::set<std::string> textMessages;
    for (const LogPoint& point : samples) {
        zormon::Sample sample;
        if (!zormon::parseSample(point.value, &sample)) {
            continue;
        }
        zormon::Evaluation evaluation = zormon::evaluateSample(state, sample, point.when, interval);
        TryPoint tp;
        tp.sample = point;
        tp.holds = !evaluation.holds.empty() && evaluation.holds[0];
        if (!evaluation.performed.empty()) {
            const zormon::Firing& firing = evaluation.performed.front();
            tp.message = firing.message;
            bool pass = trigger.maxFrequency <= 0 || trigger.shutdown || trigger.powerOffDrive;
            if (!pass && !firing.isNumber && textMessages.insert(firing.message).second) {
                pass = true;
            } else if (!pass && (!acted || point.when - lastAction >= trigger.maxFrequency)) {
                pass = true;
                acted = true;
                lastAction = point.when;
            }
            tp.fired = pass;
            tp.suppressed = !pass;
            ++(pass ? result.fired : result.suppressed);
        }
        result.points.push_back(std::move(tp));
    }
    return result;
}

int runTry(const std::string& variable, const std::string& day, const std::string& triggerText,
           const std::string& logFolder, long interval, std::ostream& out, std::ostream& err)
{
    TriggerSpec trigger;
    if (!readTrigger(triggerText, &trigger)) {
        err << "try: the text holds no action-trigger with a trigger kind\n";
        return 2;
    }
    std::string text;
    if (!readLog(logFolder, day, &text)) {
        err << "try: no readable log " << day << " (names are dYYYYMMDD) in " << logFolder << "\n";
        return 2;
    }
    TryResult r = tryTrigger(variable, trigger, samplesOf(text, variable), interval);
    for (const TryPoint& p : r.points) {
        if (p.fired || p.suppressed) {
            out << p.sample.clock << (p.fired ? " acts " : " held ") << p.message << '\n';
        }
    }
    out << variable << " on " << day << ": " << r.points.size() << " samples, acts " << r.fired
        << " times, held back by the repeat limit " << r.suppressed << " times\n";
    return 0;
}

} // namespace console
