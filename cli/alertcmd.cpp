#include "alertcmd.h"

#include "alertbook.h"
#include "protocol.h"
#include "scriptrun.h"

#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

using nlohmann::json;

namespace zorhost {

namespace {

/// One daemon command over a connection of its own: the daemon opens a
/// session for every connection, so the greeting comes first.
class DaemonLink {
public:
    ~DaemonLink()
    {
        if (_fd >= 0) {
            close(_fd);
        }
    }

    zor::Expected<void> open(const std::string& socketPath)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof address.sun_path) {
            return zor::Error{"socket path too long: " + socketPath};
        }
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
        _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (_fd < 0 || connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return zor::Error{"cannot reach zorhostd at " + socketPath + ": " + std::strerror(errno)};
        }
        std::string greeting;
        if (!readLine(&greeting)) {
            return zor::Error{"zorhostd at " + socketPath + " closed the connection before the session opened"};
        }
        const json line = json::parse(greeting, nullptr, false);
        if (line.is_object() && line.value("session", "") == "open") {
            return {};
        }
        if (line.is_object() && line.contains("error") && line["error"].is_string()) {
            return zor::Error{"zorhostd: " + line["error"].get<std::string>()};
        }
        return zor::Error{"the program at " + socketPath + " does not speak as zorhostd does"};
    }

    /// Sends the command line and reads the reply line.
    zor::Expected<std::string> ask(const std::string& command)
    {
        const std::string bytes = command + "\n";
        for (size_t sent = 0; sent < bytes.size();) {
            ssize_t n = send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return zor::Error{std::string("lost the connection to zorhostd: ") + std::strerror(errno)};
            }
            sent += static_cast<size_t>(n);
        }
        std::string reply;
        if (!readLine(&reply)) {
            return zor::Error{"zorhostd closed the connection without an answer"};
        }
        return reply;
    }

private:
    bool readLine(std::string* line)
    {
        for (;;) {
            size_t end = _pending.find('\n');
            if (end != std::string::npos) {
                line->assign(_pending, 0, end);
                _pending.erase(0, end + 1);
                return true;
            }
            char chunk[65536];
            ssize_t n = recv(_fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            _pending.append(chunk, static_cast<size_t>(n));
        }
    }

    int _fd = -1;
    std::string _pending;
};

const char* commandName(AlertCommand command)
{
    switch (command) {
    case AlertCommand::alerts:
        return "alerts";
    case AlertCommand::silenceAdd:
        return "silence add";
    case AlertCommand::silenceList:
        return "silence list";
    case AlertCommand::silenceRemove:
        return "silence remove";
    default:
        return "ack";
    }
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

std::string localTime(const json& seconds)
{
    const std::time_t when = seconds.is_number() ? seconds.get<std::time_t>() : 0;
    if (when == 0) {
        return "-";
    }
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string text(const json& object, const char* name)
{
    auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

/// Rows under a heading, columns as wide as their widest cell, two blanks
/// apart; the last column is not padded.
std::string table(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line.append(widths[i] - row[i].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

/// The reply's list under name; null when the reply is not of that shape.
const json* listOf(const json& reply, const char* name)
{
    if (!reply.is_object() || !reply.contains(name) || !reply[name].is_array()) {
        return nullptr;
    }
    return &reply[name];
}

int usageError(const std::string& message)
{
    std::cerr << "zorhost: " << message << "\nRun with --help for more information.\n";
    return kExitUsage;
}

/// The alerts reply ({"alerts":[...]}) as a table, or "no alerts"; times in
/// local time.
std::string alertsTable(const std::string& replyLine)
{
    const json reply = json::parse(replyLine, nullptr, false);
    const json* alerts = listOf(reply, "alerts");
    if (alerts == nullptr || alerts->empty()) {
        return "no alerts\n";
    }
    std::vector<std::vector<std::string>> rows{{"ALERT", "STATE", "SINCE", "VALUE", "LAST SENT", "NOTES"}};
    for (const json& a : *alerts) {
        std::vector<std::string> notes;
        if (!text(a, "silencedBy").empty()) {
            notes.push_back("silenced by " + text(a, "silencedBy"));
        }
        if (!text(a, "acknowledgedBy").empty()) {
            notes.push_back("acknowledged by " + text(a, "acknowledgedBy"));
        }
        if (a.value("flapping", false)) {
            notes.push_back("flapping");
        }
        std::string noteText;
        for (const std::string& note : notes) {
            noteText += (noteText.empty() ? "" : ", ") + note;
        }
        const std::string value = text(a, "value");
        rows.push_back({text(a, "name"), text(a, "state"), localTime(a.value("since", json())),
                        value.empty() ? "-" : value, localTime(a.value("lastSent", json())),
                        noteText.empty() ? "-" : noteText});
    }
    return table(rows);
}

/// The silences reply ({"silences":[...]}) as a table, or "no silences".
std::string silencesTable(const std::string& replyLine)
{
    const json reply = json::parse(replyLine, nullptr, false);
    const json* silences = listOf(reply, "silences");
    if (silences == nullptr || silences->empty()) {
        return "no silences\n";
    }
    std::vector<std::vector<std::string>> rows{{"ID", "MATCHER", "UNTIL", "AUTHOR", "COMMENT"}};
    for (const json& s : *silences) {
        rows.push_back({text(s, "id"), text(s, "matcher"), localTime(s.value("ends", json())), text(s, "author"),
                        text(s, "comment")});
    }
    return table(rows);
}

} // namespace

int runAlertCommand(const Options& o)
{
    const std::string name = commandName(o.alertCommand);
    // The alerts live in the daemon's monitor thread: a zorhost of its own
    // has none to show.
    if (!o.connect) {
        return usageError(name + " needs a running zorhostd: give --connect [SOCK] (default SOCK: " +
                          std::string(kDefaultSocketPath) + " under the root)");
    }
    json command;
    switch (o.alertCommand) {
    case AlertCommand::alerts:
        command = {{"command", "alerts"}};
        break;
    case AlertCommand::silenceList:
        command = {{"command", "silences"}};
        break;
    case AlertCommand::silenceAdd: {
        // Read here with the daemon's own reading, so that a mistyped
        // duration is a usage error before anything is sent.
        zor::Expected<long> seconds = zormon::parseDuration(o.duration);
        if (!seconds) {
            return usageError("--for: " + seconds.error());
        }
        command = {{"command", "silence-add"}, {"matcher", joined(o.words)}, {"for", o.duration},
                   {"comment", o.comment}};
        break;
    }
    case AlertCommand::silenceRemove:
        command = {{"command", "silence-remove"}, {"id", joined(o.words)}};
        break;
    default:
        command = {{"command", "ack"}, {"alert", joined(o.words)}};
        break;
    }

    DaemonLink link;
    if (zor::Expected<void> opened = link.open(o.connect->empty() ? defaultSocketPath() : *o.connect); !opened) {
        std::cerr << "zorhost: " << opened.error() << '\n';
        return kExitUsage;
    }
    zor::Expected<std::string> reply = link.ask(command.dump(-1, ' ', false, json::error_handler_t::replace));
    if (!reply) {
        std::cerr << "zorhost: " << reply.error() << '\n';
        return kExitUsage;
    }
    const json answer = json::parse(*reply, nullptr, false);
    if (!answer.is_object()) {
        std::cerr << "zorhost: zorhostd answered with a line that is not a reply: " << reply->substr(0, 200) << '\n';
        return kExitUsage;
    }
    if (answer.contains("error")) {
        std::cerr << "zorhost: " << name << ": " << text(answer, "error") << '\n';
        return kExitRequestFailed;
    }
    if (o.json) {
        std::cout << *reply << '\n';
        return kExitOk;
    }
    switch (o.alertCommand) {
    case AlertCommand::alerts:
        std::cout << alertsTable(*reply);
        break;
    case AlertCommand::silenceList:
        std::cout << silencesTable(*reply);
        break;
    case AlertCommand::silenceAdd: {
        const json silence = answer.value("silence", json::object());
        std::cout << "silence " << text(silence, "id") << " of " << text(silence, "matcher") << " until "
                  << localTime(silence.value("ends", json())) << '\n';
        break;
    }
    case AlertCommand::silenceRemove:
        std::cout << "silence " << text(answer, "removed") << " removed\n";
        break;
    default:
        std::cout << text(answer, "acknowledged") << " acknowledged\n";
        break;
    }
    return kExitOk;
}

} // namespace zorhost
