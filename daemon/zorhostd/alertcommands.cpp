#include "alertcommands.h"

#include "alertjson.h"
#include "protocol.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace zorhostd {

namespace {

constexpr const char* kCommands = "alerts, silences, silence-add, silence-remove or ack";

/// A field of the command that must be a text; why not in *error.
bool textField(const json& command, const char* name, const std::string& commandName, std::string* text,
               std::string* error)
{
    auto found = command.find(name);
    if (found == command.end() || !found->is_string()) {
        *error = commandName + " needs \"" + name + "\" as a text";
        return false;
    }
    *text = found->get<std::string>();
    return true;
}

std::string silenceAdd(zormon::MonitorThread& thread, const json& command, const std::string& user)
{
    std::string matcher, duration, comment, error;
    if (!textField(command, "matcher", "silence-add", &matcher, &error) ||
        !textField(command, "for", "silence-add", &duration, &error) ||
        !textField(command, "comment", "silence-add", &comment, &error)) {
        return errorLine(error);
    }
    if (comment.find_first_not_of(" \t") == std::string::npos) {
        return errorLine("silence-add needs a comment that says why: whoever sees the silence later needs to know");
    }
    zor::Expected<long> seconds = zormon::parseDuration(duration);
    if (!seconds) {
        return errorLine(seconds.error());
    }
    zor::Expected<zormon::Silence> added = thread.addSilence(matcher, *seconds, comment, user);
    return added ? zormon::silenceJson(*added) : errorLine(added.error());
}

std::string silenceRemove(zormon::MonitorThread& thread, const json& command)
{
    std::string id, error;
    if (!textField(command, "id", "silence-remove", &id, &error)) {
        return errorLine(error);
    }
    if (zor::Expected<void> removed = thread.removeSilence(id); !removed) {
        return errorLine(removed.error());
    }
    return json{{"removed", id}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string acknowledge(zormon::MonitorThread& thread, const json& command, const std::string& user)
{
    std::string matcher, error;
    if (!textField(command, "alert", "ack", &matcher, &error)) {
        return errorLine(error);
    }
    zor::Expected<std::string> name = thread.acknowledge(matcher, user);
    if (!name) {
        return errorLine(name.error());
    }
    return json{{"acknowledged", *name}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

std::string answerAlertCommand(zormon::MonitorThread& thread, const std::string& line, const std::string& user)
{
    const json command = json::parse(line, nullptr, false);
    if (command.is_discarded() || !command.is_object()) {
        return errorLine("a line that starts with '{' is a daemon command and must be one JSON object, "
                         "{\"command\":NAME,...}; this one is not");
    }
    auto name = command.find("command");
    if (name == command.end() || !name->is_string()) {
        return errorLine(std::string("a daemon command needs \"command\" as a text: ") + kCommands);
    }
    const std::string& what = name->get_ref<const std::string&>();
    if (what == "alerts") {
        return zormon::alertsJson(thread.alerts());
    }
    if (what == "silences") {
        return zormon::silencesJson(thread.silences());
    }
    if (what == "silence-add") {
        return silenceAdd(thread, command, user);
    }
    if (what == "silence-remove") {
        return silenceRemove(thread, command);
    }
    if (what == "ack") {
        return acknowledge(thread, command, user);
    }
    return errorLine("unknown command \"" + what + "\": the daemon knows " + kCommands);
}

} // namespace zorhostd
