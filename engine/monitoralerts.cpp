// The alerts' lives on the sampling thread: what one evaluation does to the
// alert of each trigger, the resolved notices, the alert managers, the
// silences and acknowledgements that other threads ask for, and the state
// file that carries all of it across a restart.
#include "monitorthread.h"

#include "zorpath.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace zormon {

namespace {

/// Resolved alerts are shown for a week, then only the logs keep them.
constexpr std::time_t kResolvedShown = 7 * 24 * 3600;

/// The notice channels an action carries.
std::vector<std::string> channelsOf(const Action& action)
{
    std::vector<std::string> channels;
    if (action.isLog()) {
        channels.push_back("log");
    }
    if (action.getEmailListSize() > 0) {
        channels.push_back("email");
    }
    if (action.isUdp()) {
        channels.push_back("udp");
    }
    if (action.isTrap()) {
        channels.push_back("trap");
    }
    return channels;
}

} // namespace

void MonitorThread::countNotice(const std::string& channel, const std::string& outcome)
{
    ++_status.notifications[{channel, outcome}];
}

PushedAlert MonitorThread::pushedOf(const Alert& alert) const
{
    PushedAlert pushed;
    pushed.name = alert.name();
    pushed.labels = {{"alertname", pushed.name}, {"variable", alert.variable}, {"condition", alert.condition}};
    if (!_options.appliance.empty()) {
        pushed.labels["appliance"] = _options.appliance;
    }
    for (const auto& [label, value] : _alerting.labels) {
        pushed.labels.emplace(label, value); // the alert's own labels win over a configured one of the same name
    }
    pushed.annotations = {{"summary", alert.message}, {"value", alert.value}};
    pushed.startsAt = alert.since;
    return pushed;
}

void MonitorThread::updateAlerts(Watched& watched, const Evaluation& evaluation, std::time_t now)
{
    struct Notice {
        enum class Kind { alert, resolved } kind;
        const Firing* firing = nullptr;
        int trigger = 0;
        std::string withheld;
        std::vector<std::string> channels;
        std::string message;
        std::string value;
    };
    std::vector<Notice> notices;
    const std::string& variable = watched.state->name;
    std::vector<std::string> lines; // for the host log, after the lock
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (size_t i = 0; i < watched.conditions.size() && i < evaluation.holds.size(); ++i) {
            const int index = static_cast<int>(i);
            const ActionTrigger* trigger = watched.state->entry.getActionTrigger(static_cast<unsigned int>(i));
            const std::string name = alertName(variable, watched.conditions[i]);
            Alert* kept = _book.find(name);
            const Firing* fired = nullptr;
            bool passed = false;
            for (const Firing& f : evaluation.performed) {
                if (f.trigger == index) {
                    fired = &f;
                    passed = true;
                }
            }
            for (const Firing& f : evaluation.heldBack) {
                if (f.trigger == index) {
                    fired = &f;
                }
            }
            const bool holds = evaluation.holds[i];
            if (i < evaluation.values.size()) {
                watched.values[i] = evaluation.values[i];
            }
            // An alert that stays inactive has no life to record.
            if (kept == nullptr && !holds && fired == nullptr) {
                continue;
            }
            Alert& alert = kept != nullptr ? *kept : _book.at(variable, watched.conditions[i]);
            // A flapping alert calms down once it stayed in one state for the window.
            if (alert.flapping && !alert.changes.empty() && now - alert.changes.back() >= _alerting.flapSeconds) {
                alert.flapping = false;
                alert.changes.clear();
                lines.push_back(alert.name() + ": no longer flapping");
                _book.markChanged();
            }
            // Each change of state counts toward flapping; the change that
            // makes an alert flapping is still notified, the later ones not.
            bool flapStarts = false;
            auto change = [&](AlertState to) {
                alert.state = to;
                _book.markChanged();
                if (_alerting.flapChanges <= 0) {
                    return;
                }
                alert.changes.push_back(now);
                const auto stale = std::find_if(alert.changes.begin(), alert.changes.end(), [&](std::time_t at) {
                    return at > now - _alerting.flapSeconds;
                });
                alert.changes.erase(alert.changes.begin(), stale);
                if (!alert.flapping && alert.changes.size() > static_cast<size_t>(_alerting.flapChanges)) {
                    alert.flapping = flapStarts = true;
                    lines.push_back(alert.name() + ": flapping (" + std::to_string(alert.changes.size()) +
                                    " changes in " + formatDuration(_alerting.flapSeconds) +
                                    "); notified once, then not until it stays in one state that long");
                }
            };
            alert.consecutive = i < watched.state->run.size() ? watched.state->run[i] : 0;
            if (fired != nullptr) {
                const bool wasFiring = alert.state == AlertState::firing;
                if (!wasFiring) {
                    alert.since = now;
                    alert.notifications = alert.suppressed = 0;
                    alert.lastSent = 0;
                    alert.channels.clear();
                    alert.acknowledgedBy.clear();
                    change(AlertState::firing);
                }
                alert.value = fired->value;
                alert.message = fired->message;
                const bool edge = trigger->isA() != valueChanges && !trigger->isPermanent();
                if (!passed) {
                    ++alert.suppressed;
                    for (const std::string& channel : channelsOf(trigger->getActionReference())) {
                        countNotice(channel, "held");
                    }
                } else if (wasFiring && edge) {
                    // Fired again while already firing: the trigger started
                    // fresh (a restart, a changed action) under an alert that
                    // was told already.
                } else {
                    Notice notice{Notice::Kind::alert, fired, index, "", {}, fired->message, fired->value};
                    if (const Silence* silence = _book.silenceFor(alert, now)) {
                        notice.withheld = "silenced by " + silence->id;
                    } else if (!alert.acknowledgedBy.empty()) {
                        notice.withheld = "acknowledged by " + alert.acknowledgedBy;
                    } else if (alert.flapping && !flapStarts) {
                        notice.withheld = "flapping";
                    }
                    if (notice.withheld.empty()) {
                        ++alert.notifications;
                        alert.lastSent = now;
                        alert.channels = channelsOf(trigger->getActionReference());
                        _book.markChanged();
                    }
                    notices.push_back(std::move(notice));
                }
            } else if (holds && alert.state != AlertState::firing) {
                if (alert.state != AlertState::pending) {
                    alert.since = now;
                    alert.state = AlertState::pending;
                    _book.markChanged();
                }
                alert.value = evaluation.values[i];
            } else if (holds) {
                alert.value = evaluation.values[i];
            } else if (alert.state == AlertState::firing) {
                alert.value = evaluation.values[i];
                alert.message = variable + "=" + alert.value + " " + alert.condition;
                alert.resolvedAt = now;
                change(AlertState::resolved);
                if (_pusher) {
                    _pusher->ended(alert.name(), now);
                }
                // A recovery is told where the alert was told, whatever the
                // repeat gate says; an alert never sent has nothing to end.
                std::string withheld;
                if (_book.silenceFor(alert, now) != nullptr) {
                    withheld = "silenced";
                } else if (alert.flapping && !flapStarts) {
                    withheld = "flapping";
                }
                std::vector<std::string> channels;
                for (const std::string& channel : alert.channels) {
                    if (_alerting.resolvedChannels.count(channel) != 0) {
                        if (withheld.empty()) {
                            channels.push_back(channel);
                        } else {
                            countNotice(channel, withheld);
                        }
                    }
                }
                alert.acknowledgedBy.clear();
                if (!channels.empty()) {
                    notices.push_back({Notice::Kind::resolved, nullptr, index, "", channels, alert.message, alert.value});
                }
            } else if (alert.state == AlertState::pending) {
                alert.state = AlertState::inactive;
                _book.markChanged();
            } else {
                alert.value = evaluation.values[i];
            }
            if (_pusher && alert.state == AlertState::firing) {
                if (_book.silenceFor(alert, now) != nullptr) {
                    _pusher->forget(alert.name());
                } else {
                    _pusher->firing(pushedOf(alert));
                }
            }
            _book.dropIfIdle(name);
        }
    }
    for (const std::string& line : lines) {
        logHost(line);
    }
    for (const Notice& notice : notices) {
        if (notice.kind == Notice::Kind::alert) {
            perform(watched, *notice.firing, now, notice.withheld);
        } else {
            notifyResolved(watched, notice.trigger, notice.channels, notice.message, notice.value, now);
        }
    }
}

void MonitorThread::notifyResolved(Watched& watched, int trigger, const std::vector<std::string>& channels,
                                   const std::string& message, const std::string& value, std::time_t now)
{
    const ActionTrigger* t = watched.state->entry.getActionTrigger(static_cast<unsigned int>(trigger));
    const Action& action = t->getActionReference();
    auto wants = [&](const char* channel) { return std::find(channels.begin(), channels.end(), channel) != channels.end(); };
    std::vector<TrapSink> sinks;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        sinks = _sinks;
    }
    if (wants("log")) {
        const bool written = _log.append(now, resolvedText(message));
        std::lock_guard<std::mutex> lock(_mutex);
        countNotice("log", written ? "sent" : "failed");
    }
    if (wants("email")) {
        std::vector<std::string> recipients;
        for (int i = 0; i < action.getEmailListSize(); ++i) {
            recipients.push_back(action.getEmail(static_cast<unsigned int>(i)));
        }
        const bool queued = _mail->post(std::move(recipients), "Monitor resolved: " + message,
                                        formatLocalTime(now) + " resolved " + message);
        std::lock_guard<std::mutex> lock(_mutex);
        countNotice("email", queued ? "sent" : "failed");
    }
    if (wants("udp")) {
        const std::string text = "resolved " + message;
        const bool sent = _options.udpPost && _options.udpPost(text.c_str()) >= 0;
        if (!sent) {
            logHost("UDP message not sent: " + text);
        }
        std::lock_guard<std::mutex> lock(_mutex);
        countNotice("udp", sent ? "sent" : "failed");
    }
    if (wants("trap")) {
        for (const TrapSink& sink : sinks) {
            const zor::Expected<void> sent =
                sendTrap(sink, watched.state->name, value, t->toString(), message, true);
            if (!sent) {
                logHost("trap not sent: " + sent.error());
            }
            std::lock_guard<std::mutex> lock(_mutex);
            countNotice("trap", sent ? "sent" : "failed");
        }
    }
}

void MonitorThread::alignAlerts(std::time_t now)
{
    std::set<std::string> configured;
    for (Watched& watched : _watched) {
        const auto hold = _alerting.hold.find(watched.state->name);
        watched.state->hold = hold == _alerting.hold.end() ? 1 : hold->second;
        const int count = watched.state->entry.getActionTriggerListLength();
        watched.conditions.clear();
        watched.values.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            watched.conditions.push_back(watched.state->entry.getActionTrigger(static_cast<unsigned int>(i))->toString());
            // Only the names the book holds: a set of every trigger's name
            // would cost the table's size again while the load runs.
            std::string name = alertName(watched.state->name, watched.conditions.back());
            if (_book.find(name) != nullptr) {
                configured.insert(std::move(name));
            }
        }
    }
    for (const Alert& gone : _book.retain(configured)) {
        if (gone.state == AlertState::firing && _pusher) {
            _pusher->ended(gone.name(), now);
        }
    }
}

void MonitorThread::expireAlerts(std::time_t now)
{
    std::vector<Silence> before;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        before = _book.silences(now - 1);
        if (!_book.expireSilences(now)) {
            before.clear();
        }
        if (now > kResolvedShown) {
            _book.forgetResolvedBefore(now - kResolvedShown);
        }
    }
    for (const Silence& s : before) {
        if (s.ends <= now) {
            logHost("silence " + s.id + " of " + s.variable + (s.condition.empty() ? "" : " " + s.condition) +
                    " ended");
        }
    }
}

void MonitorThread::saveAlerts(bool force)
{
    std::lock_guard<std::mutex> saving(_saveMutex);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_book.takeChanged() && !force) {
            return;
        }
        text = _book.serialize();
    }
    const zor::Expected<void> saved = writeFileAtomically(_options.stateFile, text);
    if (!saved && !_saveFailing) {
        logHost("alert states not saved (said once until a save succeeds): " + saved.error());
    } else if (saved && _saveFailing) {
        logHost("alert states saved again to " + _options.stateFile);
    }
    _saveFailing = !saved;
}

void MonitorThread::loadAlerts()
{
    std::ifstream in(_options.stateFile);
    if (!in) {
        return; // a first start: nothing to take up
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::lock_guard<std::mutex> lock(_mutex);
    if (zor::Expected<void> loaded = _book.load(text.str()); !loaded) {
        // Kept aside, not overwritten: what it held may still be read by hand.
        const std::string aside = _options.stateFile + ".unreadable";
        std::rename(_options.stateFile.c_str(), aside.c_str());
        logHost("cannot take up " + _options.stateFile + " (" + loaded.error() + "); moved to " + aside +
                ", alerts start inactive");
    }
}

std::vector<Alert> MonitorThread::idleAlerts() const
{
    std::vector<Alert> idle;
    for (const Watched& watched : _watched) {
        for (size_t i = 0; i < watched.conditions.size(); ++i) {
            if (_book.find(alertName(watched.state->name, watched.conditions[i])) == nullptr) {
                Alert a;
                a.variable = watched.state->name;
                a.condition = watched.conditions[i];
                a.value = i < watched.values.size() ? watched.values[i] : std::string();
                idle.push_back(std::move(a));
            }
        }
    }
    return idle;
}

std::vector<AlertView> MonitorThread::alerts() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _book.report(_clock->now(), true, idleAlerts());
}

std::vector<AlertView> MonitorThread::activeAlerts() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _book.report(_clock->now(), false);
}

std::vector<Silence> MonitorThread::silences() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _book.silences(_clock->now());
}

zor::Expected<Silence> MonitorThread::addSilence(const std::string& matcher, long seconds, const std::string& comment,
                                                 const std::string& author)
{
    zor::Expected<AlertMatcher> m = parseMatcher(matcher);
    if (!m) {
        return zor::Error{m.error()};
    }
    if (comment.find_first_not_of(" \t") == std::string::npos) {
        return zor::Error{"say why in a comment: whoever sees the silence later needs to know"};
    }
    if (seconds < 60) {
        return zor::Error{"a silence lasts a minute at least"};
    }
    Silence added;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        bool known = false;
        for (const Watched& watched : _watched) {
            known = known || (watched.state->name == m->variable &&
                              (m->condition.empty() || std::find(watched.conditions.begin(), watched.conditions.end(),
                                                                 m->condition) != watched.conditions.end()));
        }
        if (!known) {
            return zor::Error{"no alert of the configuration matches \"" + matcher +
                              "\" (zorhost alerts lists them: VARIABLE, or VARIABLE CONDITION)"};
        }
        added = _book.addSilence(*m, _clock->now(), seconds, comment, author.empty() ? "unknown" : author);
    }
    logHost("silence " + added.id + " of " + matcher + " by " + added.author + " for " + formatDuration(seconds) +
            ": " + comment);
    saveAlerts();
    return added;
}

zor::Expected<void> MonitorThread::removeSilence(const std::string& id)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (zor::Expected<void> removed = _book.removeSilence(id); !removed) {
            return removed;
        }
    }
    logHost("silence " + id + " removed");
    saveAlerts();
    return {};
}

zor::Expected<std::string> MonitorThread::acknowledge(const std::string& matcher, const std::string& author)
{
    zor::Expected<AlertMatcher> m = parseMatcher(matcher);
    if (!m) {
        return zor::Error{m.error()};
    }
    zor::Expected<std::string> name = [&] {
        std::lock_guard<std::mutex> lock(_mutex);
        return _book.acknowledge(*m, author);
    }();
    if (name) {
        logHost("alert " + *name + " acknowledged by " + (author.empty() ? "unknown" : author));
        saveAlerts();
    }
    return name;
}

std::vector<ManagerStatus> MonitorThread::alertManagers() const
{
    return _pusher ? _pusher->status() : std::vector<ManagerStatus>{};
}

} // namespace zormon
