// The thread itself: made, started, stopped, and its pass each second (the
// schedule and the readings it takes).
#include "monitorthread.h"

#include "zorpath.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

namespace zormon {

namespace {

/// A clock jump of more than this many seconds backwards makes every
/// schedule start again from the new time instead of waiting for the old one.
constexpr std::time_t kBackwardJump = 2;

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
    _options.alertingFile = zorResolvePath(_options.alertingFile);
    _options.stateFile = zorResolvePath(_options.stateFile);
    _options.interval = std::max(1L, _options.interval);
    _mail = std::make_unique<MailQueue>(_options.mail, [this](const std::string& text) { logHost(text); });
    _builtins = builtinVariables(_options.systemRoot, *_clock);
    // The model and its reader live in this process's own copy of the
    // configuration library; the XML platform counts its initialisations,
    // so the module's copy starting and stopping it does not disturb ours.
    MonitoringConfiguration::initialize();
    _pusher = std::make_unique<AlertPusher>([this](const std::string& text) { logHost(text); });
    loadAlerts();
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
    _commands.wait();
    _mail->stop();
    _pusher->stop();
    saveAlerts();
    std::lock_guard<std::mutex> lock(_mutex);
    _status.running = false;
}

void MonitorThread::configurationChanged()
{
    _reload.store(true);
    std::lock_guard<std::mutex> lock(_wakeup->mutex);
    _wakeup->wake.notify_all();
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
    expireAlerts(now);
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
    saveAlerts();
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
    updateAlerts(watched, evaluation, now);
}

} // namespace zormon
