#include "validatecmd.h"

#include "configvalidator.h"
#include "variablecatalogue.h"
#include "zorpath.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace {

/// The variables the monitor thread of zorhostd knows: its built-in ones
/// and the administrator's of variables.conf (under the root), each with
/// what its definition says of its values. A variables.conf that cannot be
/// read adds nothing: its variables then show up as unknown.
monvalidate::VariableCatalogue monitorThreadVariables()
{
    monvalidate::VariableCatalogue catalogue;
    zormon::SystemClock clock;
    for (const zormon::VariableDefinition& v : zormon::builtinVariables("", clock)) {
        catalogue[v.name] = monvalidate::kindFromDefinition(v.definition);
    }
    std::ifstream conf(zorResolvePath("/etc/configs/monitor/variables.conf"));
    std::stringstream text;
    text << conf.rdbuf();
    std::vector<std::string> problems;
    for (const zormon::VariableDeclaration& v : zormon::parseVariablesConf(text.str(), &problems)) {
        catalogue[v.name] = monvalidate::kindFromDefinition(v.definition);
    }
    return catalogue;
}

/// The preset catalogue is told apart by its root element, or by its name
/// when the root element cannot be read.
monvalidate::DocumentKind kindOfFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string head(4096, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    // The first element that is not a declaration, comment or doctype.
    for (size_t at = head.find('<'); at != std::string::npos; at = head.find('<', at + 1)) {
        char next = at + 1 < head.size() ? head[at + 1] : '\0';
        if (next == '?' || next == '!') {
            continue;
        }
        size_t end = head.find_first_of(" \t\r\n/>", at + 1);
        std::string root = head.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        return root == "preset-triggers" || root == "presets" ? monvalidate::DocumentKind::presetTriggers
                                         : monvalidate::DocumentKind::monitorConfig;
    }
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name == "PresetTriggers.cfg" ? monvalidate::DocumentKind::presetTriggers
                                        : monvalidate::DocumentKind::monitorConfig;
}

} // namespace

std::string defaultConfigFile() { return zorResolvePath("/etc/configs/monitor/Monitor.cfg"); }

int validateConfigFile(const std::string& path, bool json, std::ostream& out)
{
    std::vector<monvalidate::Problem> problems =
        monvalidate::validateFile(path, kindOfFile(path), monitorThreadVariables());
    for (const monvalidate::Problem& p : problems) {
        if (json) {
            nlohmann::ordered_json line = {
                {"file", p.file}, {"line", p.line}, {"column", p.column}, {"message", p.message}};
            out << line.dump(-1, ' ', true) << '\n';
        } else {
            out << monvalidate::formatProblem(p) << '\n';
        }
    }
    out.flush();
    return problems.empty() ? 0 : 1;
}

std::string strictXmlProblems(const std::string& xml, ValueDocument kind)
{
    static const monvalidate::VariableCatalogue variables = monitorThreadVariables();
    std::vector<monvalidate::Problem> problems = monvalidate::validateText(
        xml,
        kind == ValueDocument::monitorEntry ? monvalidate::DocumentKind::monitorEntry
                                            : monvalidate::DocumentKind::actionTrigger,
        variables, "value");
    std::string text;
    for (const monvalidate::Problem& p : problems) {
        text += (text.empty() ? "  " : "\n  ") + monvalidate::formatProblem(p);
    }
    return text;
}
