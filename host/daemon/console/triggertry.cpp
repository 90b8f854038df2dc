#include "triggertry.h"

#include "monitorlogic.h"
#include "monitoring.h"

#include <memory>

namespace console {

TryResult tryTrigger(const std::string& variable, const TriggerForm& trigger, const std::vector<LogPoint>& samples,
                     long interval)
{
    TryResult result;
    // The trial trigger gets a repeat history of its own, and the evaluator
    // asks its action's real repeat gate at each sample's time: a replay of a
    // past day is held back exactly where the thread would have held it back.
    std::unique_ptr<ActionTrigger> modelTrigger(makeModelTrigger(trigger));
    Seconds schedule;
    schedule.setSeconds(static_cast<unsigned>(interval > 0 ? interval : 60));
    MonitorEntry entry(true, variable, &schedule);
    entry.addActionTrigger(modelTrigger.get());
    zormon::EntryState state(entry);

    for (const LogPoint& point : samples) {
        zormon::Sample sample;
        if (!zormon::parseSample(point.value, &sample)) {
            continue;
        }
        zormon::Evaluation evaluation = zormon::evaluateSample(state, sample, point.when, interval);
        TryPoint tp;
        tp.sample = point;
        tp.holds = !evaluation.holds.empty() && evaluation.holds[0];
        tp.fired = !evaluation.performed.empty();
        tp.suppressed = !tp.fired && !evaluation.heldBack.empty();
        if (tp.fired || tp.suppressed) {
            tp.message = (tp.fired ? evaluation.performed : evaluation.heldBack).front().message;
            ++(tp.fired ? result.fired : result.suppressed);
        }
        result.points.push_back(std::move(tp));
    }
    return result;
}

int runTry(const std::string& variable, const std::string& day, const std::string& triggerText,
           const std::string& logFolder, long interval, std::ostream& out, std::ostream& err)
{
    TriggerForm trigger;
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
