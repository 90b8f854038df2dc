#include "monitorthread.h"

#include "zorpath.h"

#include <algorithm>
#include <iostream>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zormon {

namespace {

/// A clock jump of more than this many seconds backwards makes every
/// schedule start again from the new time instead of waiting for the old one.
constexpr std::time_t kBackwardJump = 2;

std::string entriesText(size_t count) { return std::to_string(count) + (count == 1 ? " entry" : " entries"); }

} // namespace

MonitorThread::MonitorThread(MonitorThreadOptions options)
    : _options(std::move(options)),
      _clock(_options.clock ? _options.clock : std::make_shared<SystemClock>()),
      _log(zorResolvePath(_options.logFolder), [this](const std::string& text) { logHost(text); })
{
    _options.configFile = zorResolvePath(_options.configFile);
    _options.variablesFile = zorResolvePath(_options.variablesFile);
    _options.snmpFile = zorResolvePath(_options.snmpFile);
    _options.actionsFile = zorResolvePath(_options.actionsFile);
    _options.interval = std::max(1L, _options.interval);
    _mail = std::make_unique<MailQueue>(_options.mail, [this](const std::string& text) { logHost(text); });
    _builtins = builtinVariables(_options.systemRoot, *_clock);
    // The model and its reader live in this process's own copy of the
    // configuration library; the XML platform counts its initialisations,
    // so the module's copy starting and stopping it does not disturb ours.
    MonitoringConfiguration::initialize();
    loadSideFiles();
}

MonitorThread::~MonitorThread()
{
    stop();
    MonitoringConfiguration::terminate();
}

void MonitorThread::logHost(const std::string& text) const
{
    if (_options.hostLog) {
        _options.hostLog(text);
    } else {
        // The sampling thread and the mail worker both log; a host passes
        // hostLog to put the lines into its own log.
        static std::mutex streamMutex;
        std::lock_guard<std::mutex> lock(streamMutex);
        std::clog << "monitor-thread: " << text << std::endl;
    }
}

std::string MonitorThread::readFileText(const std::string& path) const
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void MonitorThread::start()
{
    std::lock_guard<std::mutex> lock(_wakeup->mutex);
    if (_thread.joinable()) {
        return;
    }
    _stopping = false;
    {
        std::lock_guard<std::mutex> state(_mutex);
        _status.running = true;
    }
    _thread = std::thread([this] {
        std::unique_lock<std::mutex> wake(_wakeup->mutex);
        auto beat = std::chrono::steady_clock::now();
        while (!_stopping) {
            _wakeup->readings = false; // before the pass: a result arriving during it wakes the next
            wake.unlock();
            tick();
            wake.lock();
            // One pass a second, on a steady beat: the finest schedule is one
            // second. A commit, a stop or a program's result wakes the loop
            // at once; the extra pass samples nothing early, as schedules
            // count whole seconds.
            const auto now = std::chrono::steady_clock::now();
            if (now >= beat) {
                beat += std::chrono::seconds(1);
                if (beat <= now) {
                    beat = now + std::chrono::seconds(1); // a pass took longer than a second
                }
            }
            _wakeup->wake.wait_until(wake, beat,
                                     [this] { return _stopping || _reload.load() || _wakeup->readings; });
        }
    });
}

void MonitorThread::cancelPrograms()
{
    std::shared_ptr<const Catalogue> catalogue;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        catalogue = _catalogue;
        for (const Watched& watched : _watched) {
            if (watched.awaiting) {
                watched.awaiting->cancel();
            }
        }
    }
    for (const auto& v : *catalogue) {
        if (v.second.program) {
            v.second.program->cancel();
        }
    }
}

void MonitorThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(_wakeup->mutex);
        _stopping = true;
        _wakeup->wake.notify_all();
    }
    if (_thread.joinable()) {
        _thread.join();
    }
    cancelPrograms(); // nobody takes their results up any more
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> lock(_commandsMutex);
        commands.swap(_commands);
    }
    for (Command& command : commands) {
        command.thread.join();
    }
    _mail->stop();
    std::lock_guard<std::mutex> lock(_mutex);
    _status.running = false;
}

void MonitorThread::configurationChanged()
{
    _reload.store(true);
    std::lock_guard<std::mutex> lock(_wakeup->mutex);
    _wakeup->wake.notify_all();
}

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

    ActionSettings actions;
    forEachConfigLine(readFileText(_options.actionsFile), [&](int number, const std::vector<std::string>& words) {
        const bool command = (words[0] == "shutdown" || words[0] == "power-off-drive") && words.size() >= 2 &&
                             words[1][0] == '/';
        const bool count = (words[0] == "delay" || words[0] == "boot-grace") && words.size() == 2 &&
                           words[1].size() <= 9 && words[1].find_first_not_of("0123456789") == std::string::npos;
        if (command) {
            std::vector<std::string> argv(words.begin() + 1, words.end());
            argv[0] = zorResolvePath(argv[0]);
            (words[0] == "shutdown" ? actions.shutdown : actions.powerOffDrive) = argv;
        } else if (count) {
            (words[0] == "delay" ? actions.delay : actions.bootGrace) = std::stol(words[1]);
        } else {
            problems.push_back("actions.conf line " + std::to_string(number) +
                               ": expected shutdown|power-off-drive /PROGRAM [ARG...], delay SECONDS or "
                               "boot-grace SECONDS");
        }
    });
    for (const std::string& problem : problems) {
        logHost(problem);
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _catalogue = std::move(catalogue);
    _sinks = std::move(sinks);
    _actions = std::move(actions);
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
    std::vector<bool> taken(_watched.size(), false);
    for (const MonitorEntry& entry : entries) {
        const std::string signature = entrySignature(entry);
        Watched watched;
        for (size_t i = 0; i < _watched.size(); ++i) {
            if (!taken[i] && _watched[i].state->signature == signature) {
                taken[i] = true;
                watched = std::move(_watched[i]);
                break;
            }
        }
        if (!watched.state) {
            watched.state = std::make_unique<EntryState>(entry);
            const Frequency* schedule = entry.getFrequency();
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
    _status.entries = _watched.size();
    _status.configurationProblem.clear();
    _status.lastLoad = now;
    const size_t watchedNow = _watched.size();
    lock.unlock();
    // Said at every load, so that a file which loads but gives no entry
    // (its entries not below the root element, say) is not silent either.
    logHost("took up " + entriesText(watchedNow) + " from " + _options.configFile);
}

void MonitorThread::tick()
{
    const std::time_t now = _clock->now();
    if (_reload.exchange(false)) {
        loadAll(now);
    }
    if (_lastTick != 0 && now < _lastTick - kBackwardJump) {
        logHost("the clock went back " + std::to_string(_lastTick - now) + " s; schedules start again from now");
        for (Watched& watched : _watched) {
            watched.state->nextSample = nextDue(watched.state->entry.getFrequency(), now - 1, _options.interval);
            for (Pending& pending : watched.pending) {
                pending.due = std::min(pending.due, now + _actions.delay);
            }
        }
    }
    _lastTick = now;
    const std::string today = dayLogName(now);
    if (today != _lastDay) {
        _lastDay = today;
        _log.removeOld(now, _options.keepLogsDays);
    }
    for (Watched& watched : _watched) {
        if (watched.awaiting) {
            collect(watched, now);
        }
        if (now >= watched.state->nextSample) {
            // An entry still waiting for its program is answered by that run.
            if (!watched.awaiting) {
                sampleEntry(watched, now);
            }
            // Due again after now: a schedule missed during a suspend or a
            // jump forward samples once, not once per missed period.
            watched.state->nextSample = nextDue(watched.state->entry.getFrequency(), now, _options.interval);
        }
        for (size_t i = 0; i < watched.pending.size();) {
            if (watched.pending[i].due <= now) {
                const Pending pending = watched.pending[i];
                watched.pending.erase(watched.pending.begin() + static_cast<long>(i));
                runDrastic(watched, pending, now);
            } else {
                ++i;
            }
        }
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _status.lastTick = now;
    _status.mailSent = _mail->sent();
    _status.mailFailed = _mail->failed();
    if (_status.mailFailed > 0) {
        _status.actionFailures["email"] = _status.mailFailed;
    }
    _status.mailQueued = _mail->queued();
    _status.pendingDrastic = 0;
    for (const Watched& watched : _watched) {
        _status.pendingDrastic += watched.pending.size();
    }
}

void MonitorThread::sampleEntry(Watched& watched, std::time_t now)
{
    EntryState& state = *watched.state;
    const std::string& name = state.name;
    if (watched.variable == nullptr) {
        if (!watched.unknownReported) {
            watched.unknownReported = true;
            logHost(name + ": no such variable; the entry is not sampled");
        }
        return;
    }
    if (watched.variable->program) {
        watched.awaiting = watched.variable->program;
        watched.ticket = watched.awaiting->request();
        return;
    }
    const bool available = watched.variable->read(&watched.raw);
    takeReading(watched, available, now);
}

void MonitorThread::collect(Watched& watched, std::time_t now)
{
    bool available = false;
    if (!watched.awaiting->result(watched.ticket, &available, &watched.raw)) {
        return;
    }
    watched.awaiting.reset();
    watched.ticket = 0;
    takeReading(watched, available, now);
}

void MonitorThread::takeReading(Watched& watched, bool available, std::time_t now)
{
    EntryState& state = *watched.state;
    const std::string& name = state.name;
    std::string& raw = watched.raw;
    Sample& sample = watched.sample;
    if (!available || !parseSample(raw, &sample)) {
        // Not a sample: no log line, no window, no change, no trigger state.
        // Said once, not at every reading of a variable that stays so.
        if (_silentVariables.insert(name).second) {
            logHost(name + ": no value: " + (available ? "the reading was empty" : raw) +
                    " (said once until it gives a value again)");
        }
        std::lock_guard<std::mutex> lock(_mutex);
        ++_status.unavailable;
        return;
    }
    if (_silentVariables.erase(name) != 0) {
        logHost(name + ": gives a value again");
    }
    Evaluation evaluation = evaluateSample(state, sample, now, _options.interval);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        state.latest = sample;
        state.latestAt = now;
        ++_status.samples;
    }
    if (!evaluation.refusal.empty()) {
        logHost(evaluation.refusal);
    }
    if (state.entry.isLog()) {
        _log.append(now, sampleText(name, sample.text, sample.isNumber));
    }
    // A shutdown or power-off waiting for its delay is cancelled as soon as
    // its trigger's condition no longer holds: the value recovered.
    for (size_t i = 0; i < watched.pending.size();) {
        const Pending& pending = watched.pending[i];
        if (pending.trigger < static_cast<int>(evaluation.holds.size()) &&
            !evaluation.holds[static_cast<size_t>(pending.trigger)]) {
            logHost(name + ": recovered, " + (pending.shutdown ? "shutdown" : "drive power-off") +
                    " cancelled (" + pending.message + ")");
            watched.pending.erase(watched.pending.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    for (const Firing& firing : evaluation.performed) {
        perform(watched, firing, now);
    }
}

void MonitorThread::perform(Watched& watched, const Firing& firing, std::time_t now)
{
    const ActionTrigger* trigger = watched.state->entry.getActionTrigger(static_cast<unsigned int>(firing.trigger));
    const Action& action = trigger->getActionReference();
    const std::string name = watched.state->entry.getVariableName();
    std::vector<TrapSink> sinks;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_status.performed;
        sinks = _sinks;
        const bool carries[] = {action.isLog(),  action.getEmailListSize() > 0, action.isUdp(),
                                action.isTrap(), action.isShutdown(),           action.isPowerOffDrive()};
        for (size_t kind = 0; kind < std::size(kActionKinds); ++kind) {
            if (carries[kind]) {
                ++_status.alerts[{name, kActionKinds[kind]}];
            }
        }
    }
    if (action.isLog() && !_log.append(now, alertText(firing.message))) {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_status.actionFailures["log"];
    }
    if (action.isUdp()) {
        const bool sent = _options.udpPost && _options.udpPost(firing.message.c_str()) >= 0;
        if (!sent) {
            logHost("UDP message not sent: " + firing.message);
        }
        std::lock_guard<std::mutex> lock(_mutex);
        (sent ? _status.udpSent : _status.actionFailures["udp"]) += 1;
    }
    if (action.isTrap()) {
        if (sinks.empty()) {
            logHost("trap asked for, but snmp.conf names no trap-sink: " + firing.message);
        }
        for (const TrapSink& sink : sinks) {
            const std::string why = sendTrap(sink, name, firing.value, trigger->toString(), firing.message);
            if (!why.empty()) {
                logHost("trap not sent: " + why);
            }
            std::lock_guard<std::mutex> lock(_mutex);
            if (why.empty()) {
                ++_status.trapsSent;
            } else {
                ++_status.trapFailures;
                ++_status.actionFailures["trap"];
            }
        }
    }
    if (action.getEmailListSize() > 0) {
        std::vector<std::string> recipients;
        for (int i = 0; i < action.getEmailListSize(); ++i) {
            recipients.push_back(action.getEmail(static_cast<unsigned int>(i)));
        }
        _mail->post(std::move(recipients), "Monitor alert: " + firing.message,
                    formatLocalTime(now) + " alert " + firing.message);
    }
    for (bool shutdown : {true, false}) {
        if (!(shutdown ? action.isShutdown() : action.isPowerOffDrive())) {
            continue;
        }
        bool already = false;
        for (const Pending& pending : watched.pending) {
            already = already || (pending.trigger == firing.trigger && pending.shutdown == shutdown);
        }
        if (already) {
            continue;
        }
        watched.pending.push_back({shutdown, firing.trigger, now + _actions.delay, firing.message});
        logHost(std::string(shutdown ? "shutdown" : "drive power-off") + " in " + std::to_string(_actions.delay) +
                " s unless " + name + " recovers: " + firing.message);
    }
}

void MonitorThread::runDrastic(Watched& watched, const Pending& pending, std::time_t now)
{
    (void)now;
    const char* what = pending.shutdown ? "shutdown" : "drive power-off";
    std::vector<std::string> command = pending.shutdown ? _actions.shutdown : _actions.powerOffDrive;
    // The uptime as the catalogue reads it, but never from a program: the
    // sampling thread does not wait for one, so the built-in reading serves.
    auto found = _catalogue->find("uptime");
    const VariableDefinition* uptimeVariable = found != _catalogue->end() ? &found->second : nullptr;
    if (uptimeVariable == nullptr || uptimeVariable->program) {
        const auto builtin = std::find_if(_builtins.begin(), _builtins.end(),
                                          [](const VariableDefinition& v) { return v.name == "uptime"; });
        uptimeVariable = builtin != _builtins.end() ? &*builtin : nullptr;
    }
    std::string uptimeText;
    Sample uptime;
    if (uptimeVariable != nullptr && uptimeVariable->read(&uptimeText) && parseSample(uptimeText, &uptime) &&
        uptime.isNumber && uptime.number < static_cast<double>(_actions.bootGrace)) {
        logHost(std::string("no ") + what + " within " + std::to_string(_actions.bootGrace) +
                " s of boot (up " + uptime.text + " s): " + pending.message);
        return;
    }
    if (command.empty()) {
        logHost(std::string("would run the ") + what + " now, but actions.conf names no " + what +
                " command: " + pending.message);
        std::lock_guard<std::mutex> lock(_mutex);
        ++_status.actionFailures[pending.shutdown ? "shutdown" : "power-off-drive"];
        return;
    }
    if (!pending.shutdown) {
        command.push_back(watched.state->entry.getVariableName()); // tells the program which drive's variable fired
    }
    std::string text;
    for (const std::string& word : command) {
        text += (text.empty() ? "" : " ") + word;
    }
    if (!_options.allowDrasticCommands) {
        logHost(std::string("would run ") + text + " (commands are switched off): " + pending.message);
        return;
    }
    // The command may take long (a shutdown waits for services to stop);
    // it runs beside the sampling, which goes on until the machine goes down.
    std::lock_guard<std::mutex> lock(_commandsMutex);
    for (size_t i = 0; i < _commands.size();) {
        if (_commands[i].done->load()) {
            _commands[i].thread.join();
            _commands.erase(_commands.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    const char* kind = pending.shutdown ? "shutdown" : "power-off-drive";
    std::thread thread([this, command, text, what, kind, done, message = pending.message] {
        const zor::Expected<std::string> ran = runProgramFirstLine(command, 60000);
        logHost(std::string(what) + ": ran " + text + (ran ? "" : ", which failed: " + ran.error()) + " (" +
                message + ")");
        if (!ran) {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_status.actionFailures[kind];
        }
        done->store(true);
    });
    _commands.push_back({std::move(thread), std::move(done)});
}

int MonitorThread::currentValue(const std::string& name, std::string* value)
{
    std::shared_ptr<const Catalogue> catalogue;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const std::time_t now = _clock->now();
        for (const Watched& watched : _watched) {
            const EntryState& state = *watched.state;
            if (state.latestAt != 0 && state.entry.getVariableName() == name && now - state.latestAt < _options.interval &&
                now >= state.latestAt) {
                *value = state.latest.text;
                return 0;
            }
        }
        catalogue = _catalogue;
    }
    const auto found = catalogue->find(name);
    if (found == catalogue->end()) {
        *value = "unknown variable " + name;
        return kUnknownVariable;
    }
    std::string raw;
    Sample sample;
    if (!found->second.read(&raw)) {
        *value = raw;
        return kValueUnavailable;
    }
    if (!parseSample(raw, &sample)) {
        *value = name + " gave an empty value";
        return kValueUnavailable;
    }
    *value = sample.text;
    return 0;
}

std::vector<std::pair<std::string, std::string>> MonitorThread::variables() const
{
    std::shared_ptr<const Catalogue> catalogue;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        catalogue = _catalogue;
    }
    std::vector<std::pair<std::string, std::string>> list;
    for (const auto& v : *catalogue) {
        list.emplace_back(v.first, v.second.definition);
    }
    return list;
}

MonitorThreadStatus MonitorThread::status() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _status;
}

} // namespace zormon
