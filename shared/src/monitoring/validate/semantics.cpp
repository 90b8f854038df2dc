// The checks that follow a clean schema pass: what a schema cannot say, and
// what the module or its monitor thread would quietly take otherwise.
#include "documentmodel.h"

#include <algorithm>

namespace monvalidate {

namespace {

const char* const blanks = " \t\r\n";

std::string trimmed(const std::string& text)
{
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A number as the monitor thread tells numbers from text: after the blanks
// around it, an optional sign, digits and an optional fraction, nothing else
// (no exponent, no "inf", no hexadecimal).
bool isNumber(const std::string& raw, double& value)
{
    std::string text = trimmed(raw);
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
    }
    if (i == digits) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        std::size_t fraction = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        if (i == fraction) {
            return false;
        }
    }
    if (i != text.size()) {
        return false;
    }
    value = std::strtod(text.c_str(), nullptr);
    return true;
}

bool isNumber(const std::string& raw)
{
    double ignored = 0;
    return isNumber(raw, ignored);
}

// Why an e-mail address is not one, or empty when it is: exactly one '@', a
// local part, and a domain of dot-separated labels of letters, digits and
// '-'; no blanks or control characters anywhere.
std::string addressFault(const std::string& address)
{
    for (unsigned char c : address) {
        if (c <= ' ' || c == 0x7F) {
            return "holds a blank or control character";
        }
    }
    if (std::count(address.begin(), address.end(), '@') != 1) {
        return "needs exactly one '@'";
    }
    std::size_t at = address.find('@');
    if (at == 0) {
        return "has nothing before the '@'";
    }
    std::string domain = address.substr(at + 1);
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = domain.find('.', start);
        std::string label = domain.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty()) {
            return "has an empty part in its domain \"" + domain + "\"";
        }
        for (unsigned char c : label) {
            if (!std::isalnum(c) && c != '-') {
                return "has a domain \"" + domain + "\" with a character other than letters, digits, '-' and '.'";
            }
        }
        if (dot == std::string::npos) {
            return std::string();
        }
        start = dot + 1;
    }
}

// Edit distance, to suggest the variable a typo was meant to name.
std::size_t distance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

/// What is known of the variable a trigger watches.
enum class ValueKind { unknown, numbers, text };

class SemanticChecker {
public:
    SemanticChecker(DocumentModel& model, const VariableCatalogue& variables) : _model(model), _variables(variables)
    {
    }

    void run()
    {
        for (std::size_t i = 0; i < _model.elements.size(); ++i) {
            const ElementRecord& element = _model.elements[i];
            if (element.name == "monitor-entry") {
                checkEntry(i);
            } else if (element.name == "preset-variable") {
                checkPreset(i);
            } else if (element.name == "action-trigger" && element.parent == noElement) {
                checkTrigger(i, std::string(), ValueKind::unknown, nullptr);
            } else if (element.keepsText()) {
                checkText(i);
            }
        }
    }

private:
    const ElementRecord& element(std::size_t index) const { return _model.elements[index]; }

    std::string attribute(std::size_t index, const std::string& name) const
    {
        const std::string* value = element(index).attribute(name);
        return value != nullptr ? *value : std::string();
    }

    // Looks the variable up; reports an unknown one. Without a catalogue
    // nothing is known about it.
    ValueKind variableKind(std::size_t index, const std::string& name)
    {
        if (_variables.empty()) {
            return ValueKind::unknown;
        }
        auto found = _variables.find(name);
        if (found != _variables.end()) {
            return found->second ? ValueKind::numbers : ValueKind::text;
        }
        std::string message = "unknown variable \"" + name + "\": the monitor thread does not know it";
        std::string nearest;
        std::size_t best = 3;
        for (const auto& known : _variables) {
            std::size_t d = distance(name, known.first);
            if (d < best) {
                best = d;
                nearest = known.first;
            }
        }
        if (!nearest.empty()) {
            message += "; did you mean \"" + nearest + "\"?";
        }
        _model.addAttributeProblem(index, "variable", message);
        return ValueKind::unknown;
    }

    void checkEntry(std::size_t index)
    {
        std::string variable = attribute(index, "variable");
        ValueKind kind = variableKind(index, variable);
        bool logged = attribute(index, "log") == "true";
        for (std::size_t child : element(index).children) {
            if (element(child).name == "action-trigger") {
                checkTrigger(child, variable, kind, &logged);
            }
        }
    }

    void checkPreset(std::size_t index)
    {
        const std::string* variable = element(index).attribute("variable");
        ValueKind kind = variable != nullptr ? variableKind(index, *variable) : ValueKind::unknown;
        for (std::size_t child : element(index).children) {
            if (element(child).name == "action-trigger") {
                checkTrigger(child, variable != nullptr ? *variable : std::string(), kind, nullptr);
            }
        }
    }

    // entryLogged is null for a trigger outside an entry.
    void checkTrigger(std::size_t index, const std::string& variable, ValueKind kind, const bool* entryLogged)
    {
        std::string valueType = attribute(index, "value-type");
        if (entryLogged != nullptr && !*entryLogged && !valueType.empty() && valueType != "instantaneous") {
            _model.addAttributeProblem(index, "value-type",
                                       "value-type=\"" + valueType + "\" needs the values of \"" + variable +
                                           "\" logged: set log=\"true\" on its monitor-entry (the module refuses "
                                           "the whole configuration otherwise)");
        }
        const std::string of = variable.empty() ? std::string() : " of \"" + variable + "\"";
        for (std::size_t child : element(index).children) {
            const std::string& name = element(child).name;
            if (name == "single-value") {
                checkSingleValue(child, of, kind);
            } else if (name == "interval-value") {
                checkInterval(child, of, kind);
            }
        }
    }

    void checkSingleValue(std::size_t index, const std::string& of, ValueKind kind)
    {
        std::string comparison = attribute(index, "comparison");
        std::string value = attribute(index, "value");
        bool ordered = comparison == "greater-than" || comparison == "less-than";
        if (ordered && kind == ValueKind::text) {
            _model.addAttributeProblem(index, "comparison",
                                       comparison + " never fires: the values" + of + " are text, not numbers");
        } else if (!isNumber(value) && (ordered || kind == ValueKind::numbers)) {
            _model.addAttributeProblem(index, "value",
                                       "value=\"" + value + "\" is not a number" +
                                           (ordered ? ", so " + comparison + " never fires"
                                                    : ", but the values" + of + " are numbers: " + comparison +
                                                          " compares it as text"));
        }
    }

    void checkInterval(std::size_t index, const std::string& of, ValueKind kind)
    {
        if (kind == ValueKind::text) {
            _model.addElementProblem(index, "an interval never fires: the values" + of + " are text, not numbers");
            return;
        }
        double low = 0;
        double high = 0;
        bool lowIsNumber = isNumber(attribute(index, "low-value"), low);
        bool highIsNumber = isNumber(attribute(index, "high-value"), high);
        if (!lowIsNumber) {
            _model.addAttributeProblem(index, "low-value",
                                       "low-value=\"" + attribute(index, "low-value") +
                                           "\" is not a number, so the interval never fires");
        }
        if (!highIsNumber) {
            _model.addAttributeProblem(index, "high-value",
                                       "high-value=\"" + attribute(index, "high-value") +
                                           "\" is not a number, so the interval never fires");
        }
        if (lowIsNumber && highIsNumber && low > high) {
            _model.addAttributeProblem(index, "low-value",
                                       "low-value " + trimmed(attribute(index, "low-value")) +
                                           " is greater than high-value " + trimmed(attribute(index, "high-value")) +
                                           ": the interval is empty; swap the bounds");
        }
    }

    // The module takes the first piece of an element's content as its text,
    // and drops an empty address without a word.
    void checkText(std::size_t index)
    {
        const ElementRecord& record = element(index);
        if (record.split) {
            _model.addTextProblem(index, "<" + record.name +
                                             "> must hold plain text only: with a comment, processing instruction "
                                             "or CDATA section inside, the module reads only its first piece");
            return;
        }
        if (record.name != "email") {
            return;
        }
        std::string address = trimmed(record.text);
        if (address.empty()) {
            _model.addElementProblem(index, "<email> is empty; the module skips it");
            return;
        }
        std::string fault = addressFault(address);
        if (!fault.empty()) {
            _model.addTextProblem(index, "e-mail address \"" + address + "\" " + fault);
        }
    }

    DocumentModel& _model;
    const VariableCatalogue& _variables;
};

} // namespace

void checkSemantics(DocumentModel& model, const VariableCatalogue& variables)
{
    SemanticChecker(model, variables).run();
}

} // namespace monvalidate
