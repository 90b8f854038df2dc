// Acting on a firing: the channels of an entry's action, and the shutdown or
// drive power-off once its delay ran out.
#include "monitorthread.h"

#include <algorithm>
#include <iterator>

namespace zormon {

void MonitorThread::perform(Watched& watched, const Firing& firing, std::time_t now, const std::string& withheld)
{
    const ActionTrigger* trigger = watched.state->entry.getActionTrigger(static_cast<unsigned int>(firing.trigger));
    const Action& action = trigger->getActionReference();
    const std::string name = watched.state->entry.getVariableName();
    // The word a withheld notice is counted under: silenced, acknowledged, flapping.
    const std::string outcome = withheld.substr(0, withheld.find(' '));
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
        if (!withheld.empty()) {
            for (size_t kind = 1; kind < 4; ++kind) { // email, udp, trap
                if (carries[kind]) {
                    countNotice(kActionKinds[kind], outcome);
                }
            }
        }
    }
    const std::string note = withheld.empty() ? "" : " (" + withheld + ")";
    if (action.isLog()) {
        const bool written = _log.append(now, alertText(firing.message) + note);
        std::lock_guard<std::mutex> lock(_mutex);
        countNotice("log", written ? "sent" : "failed");
        if (!written) {
            ++_status.actionFailures["log"];
        }
    } else if (!withheld.empty()) {
        logHost("alert " + firing.message + note); // on record even without a log action
    }
    if (action.isUdp() && withheld.empty()) {
        const bool sent = _options.udpPost && _options.udpPost(firing.message.c_str()) >= 0;
        if (!sent) {
            logHost("UDP message not sent: " + firing.message);
        }
        std::lock_guard<std::mutex> lock(_mutex);
        (sent ? _status.udpSent : _status.actionFailures["udp"]) += 1;
        countNotice("udp", sent ? "sent" : "failed");
    }
    if (action.isTrap() && withheld.empty()) {
        if (sinks.empty()) {
            logHost("trap asked for, but snmp.conf names no trap-sink: " + firing.message);
        }
        for (const TrapSink& sink : sinks) {
            const zor::Expected<void> sent = sendTrap(sink, name, firing.value, trigger->toString(), firing.message);
            if (!sent) {
                logHost("trap not sent: " + sent.error());
            }
            std::lock_guard<std::mutex> lock(_mutex);
            countNotice("trap", sent ? "sent" : "failed");
            if (sent) {
                ++_status.trapsSent;
            } else {
                ++_status.trapFailures;
                ++_status.actionFailures["trap"];
            }
        }
    }
    if (action.getEmailListSize() > 0 && withheld.empty()) {
        std::vector<std::string> recipients;
        for (int i = 0; i < action.getEmailListSize(); ++i) {
            recipients.push_back(action.getEmail(static_cast<unsigned int>(i)));
        }
        // Queued counts as sent here; the mail worker counts what the server refused.
        const bool queued = _mail->post(std::move(recipients), "Monitor alert: " + firing.message,
                                        formatLocalTime(now) + " alert " + firing.message);
        std::lock_guard<std::mutex> lock(_mutex);
        countNotice("email", queued ? "sent" : "failed");
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
    const char* kind = pending.shutdown ? "shutdown" : "power-off-drive";
    _commands.run(std::move(command), [this, text, what, kind, message = pending.message](
                                          const zor::Expected<std::string>& ran) {
        logHost(std::string(what) + ": ran " + text + (ran ? "" : ", which failed: " + ran.error()) + " (" +
                message + ")");
        if (!ran) {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_status.actionFailures[kind];
        }
    });
}

} // namespace zormon
