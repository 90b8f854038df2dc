#include "entrycheck.h"

#include "monitorthread.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace console {

namespace {

// The configuration's fields a form shows, and the form field of each.
const std::map<std::string, std::string>& formFields()
{
    static const std::map<std::string, std::string> fields = {
        {"variable", "variable"},       {"log", "log"},
        {"seconds", "seconds"},         {"every", "every"},
        {"hour", "hour"},               {"min", "minute"},
        {"day-of-week", "day_of_week"}, {"value-type", "t_valuetype"},
        {"permanent", "t_permanent"},   {"comparison", "t_comparison"},
        {"value", "t_value"},           {"low-value", "t_low"},
        {"high-value", "t_high"},       {"inside-outside-range", "t_range"},
        {"max-frequency", "t_maxfreq"}, {"email", "t_emails"},
        {"interval-value", "t_low"},
    };
    return fields;
}

bool startsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

} // namespace

monvalidate::VariableCatalogue catalogueOf(zormon::MonitorThread& thread)
{
    monvalidate::VariableCatalogue catalogue;
    for (const auto& [name, definition] : thread.variables()) {
        catalogue[name] = monvalidate::kindFromDefinition(definition);
    }
    return catalogue;
}

std::vector<FieldProblem> checkText(const std::string& xml, monvalidate::DocumentKind kind,
                                    const monvalidate::VariableCatalogue& variables)
{
    std::vector<FieldProblem> out;
    for (const monvalidate::Problem& p : monvalidate::validateText(xml, kind, variables, "form")) {
        out.push_back({fieldOf(p.message), p.message});
    }
    return out;
}

std::string fieldOf(const std::string& message)
{
    // Most messages open with the attribute they are about: value="x" ...,
    // low-value 9 is greater than ...
    std::string lead = message.substr(0, message.find_first_of("=\" "));
    if (lead != "interval-value" && formFields().count(lead) != 0) return lead;
    if (startsWith(message, "e-mail address") || startsWith(message, "<email>")) return "email";
    if (startsWith(message, "unknown variable")) return "variable";
    if (message.find(" never fires: the values") != std::string::npos) {
        return startsWith(message, "an interval") ? "interval-value" : "comparison";
    }
    // Else the first element the message names: the text "x" of <seconds>.
    size_t open = message.find('<');
    size_t close = message.find('>', open);
    if (open != std::string::npos && close != std::string::npos) {
        std::string tag = message.substr(open + 1, close - open - 1);
        if (formFields().count(tag) != 0) return tag;
    }
    return "";
}

std::string formFieldOf(const std::string& field)
{
    auto found = formFields().find(field);
    return found != formFields().end() ? found->second : std::string();
}

std::vector<FieldProblem> wholeNumberFields(const std::vector<std::pair<std::string, std::string>>& fields)
{
    std::vector<FieldProblem> out;
    for (const auto& [name, text] : fields) {
        size_t start = text.find_first_not_of(" \t");
        size_t end = text.find_last_not_of(" \t");
        if (start == std::string::npos) continue;
        std::string word = text.substr(start, end - start + 1);
        bool digits = std::all_of(word.begin(), word.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        });
        if (!digits) out.push_back({name, "\"" + text + "\" is not a whole number"});
    }
    return out;
}

} // namespace console
