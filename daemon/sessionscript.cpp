#include "sessionscript.h"

#include "protocol.h"

#include <nlohmann/json.hpp>

#include <string_view>

namespace sessionscript {

bool isBlankOrComment(const std::string& line)
{
    std::string_view text(line);
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    return text.find_first_not_of(" \t") == std::string_view::npos || text[0] == '#';
}

std::string skippedLine(unsigned long lineNumber, State& script)
{
    ++script.skipped;
    nlohmann::ordered_json line;
    line["skipped"] = "request line " + std::to_string(lineNumber) + " was not run: request line " +
                      std::to_string(script.failedLine) + " of the script failed";
    return line.dump(-1, ' ', true);
}

bool answerCommand(const std::string& line, State* script, std::string* answer)
{
    if (line.find("\"script") == std::string::npos) {
        return false; // the common case, without a parse
    }
    nlohmann::json command = nlohmann::json::parse(line, nullptr, false);
    if (!command.is_object() || command.size() != 1 || !command.contains("command") ||
        !command["command"].is_string()) {
        return false;
    }
    const std::string name = command["command"].get<std::string>();
    if (name == "script") {
        if (script->active) {
            *answer = errorLine("a script is already under way in this session");
        } else {
            *script = State{};
            script->active = true;
            *answer = R"({"script":"started"})";
        }
        return true;
    }
    if (name == "script-end") {
        if (!script->active) {
            *answer = errorLine("no script is under way in this session");
        } else {
            nlohmann::ordered_json ended;
            ended["script"] = "ended";
            ended["skipped"] = script->skipped;
            *answer = ended.dump();
            *script = State{};
        }
        return true;
    }
    return false;
}

} // namespace sessionscript
