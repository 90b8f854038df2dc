// Taking up a configuration: the side files (variables.conf, snmp.conf,
// actions.conf) into a new catalogue, then the committed Monitor.cfg, whose
// unchanged entries keep their state.
#include "monitorthread.h"

#include <algorithm>
#include <unordered_map>

namespace zormon {

namespace {

std::string entriesText(size_t count) { return std::to_string(count) + (count == 1 ? " entry" : " entries"); }

} // namespace

void MonitorThread::loadSideFiles()
{
    std::vector<std::string> problems;
    auto catalogue = std::make_shared<Catalogue>();
    for (const VariableDefinition& v : _builtins) {
        (*catalogue)[v.name] = v; // the readers share their state with _builtins
    }
    std::shared_ptr<const Catalogue> previous;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        previous = _catalogue;
    }
    const std::shared_ptr<Wakeup> wakeup = _wakeup;
    for (VariableDefinition& v :
         definedVariables(readFileText(_options.variablesFile), _options.programTimeoutMs, &problems)) {
        // A program defined as before keeps its source across the reload, so
        // that a run under way answers and no second copy starts beside it.
        const auto old = previous ? previous->find(v.name) : Catalogue::const_iterator();
        const VariableDefinition* before = previous && old != previous->end() ? &old->second : nullptr;
        if (v.program && before != nullptr && before->program && before->program->argv() == v.program->argv() &&
            before->program->timeoutMs() == v.program->timeoutMs()) {
            v = *before;
        } else if (v.program) {
            v.program->setFinished([wakeup] {
                std::lock_guard<std::mutex> lock(wakeup->mutex);
                wakeup->readings = true;
                wakeup->wake.notify_all();
            });
        }
        (*catalogue)[v.name] = std::move(v);
    }
    for (const auto& sampler : _options.samplers) {
        (*catalogue)[sampler.first] = {sampler.first, "defined by the host", sampler.second};
    }
    std::vector<TrapSink> sinks = parseTrapSinks(readFileText(_options.snmpFile), &problems);

    ActionSettings actions = parseActionSettings(readFileText(_options.actionsFile), &problems);
    AlertingSettings alerting = parseAlertingSettings(readFileText(_options.alertingFile), &problems);
    AlertPushSettings push;
    for (const std::string& url : alerting.managers) {
        zor::Expected<std::string> checked = checkManagerUrl(url);
        if (checked) {
            push.managers.push_back(*checked);
        } else {
            problems.push_back("alerting.conf: alertmanager " + url + ": " + checked.error() + "; left out");
        }
    }
    push.generatorUrl = _options.generatorUrl;
    _pusher->configure(std::move(push));
    for (const std::string& problem : problems) {
        logHost(problem);
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _catalogue = std::move(catalogue);
    _sinks = std::move(sinks);
    _actions = std::move(actions);
    _alerting = std::move(alerting);
    resolveVariables(); // even when the configuration then fails to load: the old catalogue is gone
}

void MonitorThread::resolveVariables()
{
    for (Watched& watched : _watched) {
        const auto found = _catalogue->find(watched.state->name);
        watched.variable = found == _catalogue->end() ? nullptr : &found->second;
        if (watched.awaiting && (watched.variable == nullptr || watched.variable->program != watched.awaiting)) {
            watched.awaiting.reset(); // the variable is now something else: that run's result is not its value
            watched.ticket = 0;
        }
    }
}

void MonitorThread::loadAll(std::time_t now)
{
    loadSideFiles();
    std::vector<MonitorEntry> entries;
    std::string problem;
    // The configuration library's error reporter is sticky for the whole
    // process: one bad document would fail every later load. The thread
    // judges each commit on its own, so the flag is cleared before each load.
    std::unique_lock<std::mutex> parsing(hostParseMutex());
    resetXMLErrors();
    try {
        entries = MonitoringConfiguration::load(_options.configFile);
    } catch (const MonitoringException& e) {
        // The exception only says what failed ("Parsing errors occurred");
        // why (the parser's diagnostic with its line, the entry the model
        // refused, the system's error) is kept beside it.
        const std::string why = MonitoringConfiguration::lastLoadFailure();
        problem = e.getMessage() + (why.empty() ? "" : ": " + why);
    } catch (const std::exception& e) {
        problem = e.what();
    }
    parsing.unlock();
    if (!problem.empty()) {
        std::string line = "cannot load " + _options.configFile + ": " + problem;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _status.configurationProblem = _options.configFile + ": " + problem;
            line += _status.lastLoad == 0 ? "; no entry is watched until a configuration loads"
                                          : "; the last good configuration stays (" + entriesText(_watched.size()) + ")";
        }
        logHost(line);
        return;
    }
    // Unchanged entries keep their state (window, previous value, armed
    // triggers, repeat histories); new and changed ones start fresh.
    std::unique_lock<std::mutex> lock(_mutex);
    std::vector<Watched> next;
    next.reserve(entries.size());
    std::vector<bool> taken(_watched.size(), false);
    // The watched entries by signature, each signature's in table order: an
    // entry takes the first untaken one with its signature. Made only for
    // this load, so no signature is kept between loads.
    std::unordered_map<std::string, std::vector<size_t>> bySignature;
    for (size_t i = 0; i < _watched.size(); ++i) {
        bySignature[entrySignature(_watched[i].state->entry)].push_back(i);
    }
    std::unordered_map<std::string, size_t> usedOf; // how many of each signature's are taken
    for (MonitorEntry& entry : entries) {
        Watched watched;
        if (!bySignature.empty()) {
            const std::string signature = entrySignature(entry);
            const auto found = bySignature.find(signature);
            size_t& used = usedOf[signature];
            if (found != bySignature.end() && used < found->second.size()) {
                const size_t i = found->second[used++];
                taken[i] = true;
                watched = std::move(_watched[i]);
            }
        }
        if (!watched.state) {
            watched.state = std::make_unique<EntryState>(std::move(entry));
            const Frequency* schedule = watched.state->entry.getFrequency();
            const bool periodic = schedule != nullptr && (schedule->isA() == seconds || schedule->isA() == asynchronous);
            watched.state->nextSample = periodic ? now : nextDue(schedule, now, _options.interval);
        }
        next.push_back(std::move(watched));
    }
    for (size_t i = 0; i < _watched.size(); ++i) {
        if (!taken[i] && !_watched[i].pending.empty()) {
            logHost(_watched[i].state->entry.getVariableName() +
                    ": entry changed or removed; its pending shutdown or power-off is cancelled");
        }
    }
    _watched = std::move(next);
    resolveVariables();
    alignAlerts(now);
    _status.entries = _watched.size();
    _status.configurationProblem.clear();
    _status.lastLoad = now;
    const size_t watchedNow = _watched.size();
    lock.unlock();
    // Said at every load, so that a file which loads but gives no entry
    // (its entries not below the root element, say) is not silent either.
    logHost("took up " + entriesText(watchedNow) + " from " + _options.configFile);
}

} // namespace zormon
