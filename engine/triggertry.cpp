#include "triggertry.h"

#include "hostparse.h"
#include "monitorlogic.h"
#include "monitoring.h"

#include <memory>

namespace zormon {

namespace {

// The trigger of an action-trigger text, or of the preset-variable text that
// the preset key answers (its action-trigger child), read by the
// configuration library in an XML environment of its own: a bad text here
// leaves no trace for the next reader of this process. The parser's words go
// to standard error, as a command's diagnostics always have.
std::unique_ptr<ActionTrigger> readTriggerText(const std::string& text)
{
    zor::Expected<std::unique_ptr<ActionTrigger>> parsed = hostparse::trigger(text, hostparse::Echo::standardError);
    return parsed ? std::move(*parsed) : nullptr;
}

} // namespace

TryResult tryTrigger(const std::string& variable, const ActionTrigger& trigger, const std::vector<LogPoint>& samples,
                     long interval)
{
    TryResult result;
    // The trial trigger gets a repeat history of its own, and the evaluator
    // asks its action's real repeat gate at each sample's time: a replay of a
    // past day is held back exactly where the thread would have held it back.
    Seconds schedule;
    schedule.setSeconds(static_cast<unsigned>(interval > 0 ? interval : 60));
    MonitorEntry entry(true, variable, &schedule);
    entry.addActionTrigger(&trigger);
    EntryState state(entry);

    for (const LogPoint& point : samples) {
        Sample sample;
        if (!parseSample(point.value, &sample)) {
            continue;
        }
        Evaluation evaluation = evaluateSample(state, sample, point.when, interval);
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
    std::unique_ptr<ActionTrigger> trigger = readTriggerText(triggerText);
    if (!trigger) {
        err << "try: the text holds no action-trigger with a trigger kind\n";
        return 2;
    }
    std::string text;
    if (!readLog(logFolder, day, &text)) {
        err << "try: no readable log " << day << " (names are dYYYYMMDD) in " << logFolder << "\n";
        return 2;
    }
    TryResult r = tryTrigger(variable, *trigger, samplesOf(text, variable), interval);
    for (const TryPoint& p : r.points) {
        if (p.fired || p.suppressed) {
            out << p.sample.clock << (p.fired ? " acts " : " held ") << p.message << '\n';
        }
    }
    out << variable << " on " << day << ": " << r.points.size() << " samples, acts " << r.fired
        << " times, held back by the repeat limit " << r.suppressed << " times\n";
    return 0;
}

} // namespace zormon
