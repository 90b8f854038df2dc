// The checks that follow a clean schema pass: what a schema cannot say, and
// what the module or its monitor thread would quietly take otherwise.
#include "semantics.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

std::string attributeOf(const ElementRecord& element, const std::string& name)
{
    const std::string* value = element.attribute(name);
    return value != nullptr ? *value : std::string();
}

// The element a trigger belongs to (a monitor entry or a preset), if any:
// it names the variable.
const ElementRecord* owner(const std::vector<ElementRecord>& open, std::size_t triggerDepth)
{
    if (triggerDepth == 0) {
        return nullptr;
    }
    const ElementRecord& candidate = open[triggerDepth - 1];
    return candidate.name == "monitor-entry" || candidate.name == "preset-variable" ? &candidate : nullptr;
}

ValueKind kindOf(const VariableCatalogue& variables, const ElementRecord* owner)
{
    const std::string* name = owner != nullptr ? owner->attribute("variable") : nullptr;
    if (name == nullptr) {
        return ValueKind::unknown;
    }
    auto found = variables.find(*name);
    if (found == variables.end()) {
        return ValueKind::unknown;
    }
    switch (found->second.values) {
    case VariableValues::numbers:
        return ValueKind::numbers;
    case VariableValues::text:
        return ValueKind::text;
    case VariableValues::either:
        break;
    }
    return ValueKind::unknown;
}

void checkVariable(ProblemSink& model, const VariableCatalogue& variables, const ElementRecord& element)
{
    const std::string* name = element.attribute("variable");
    if (name == nullptr) {
        return;
    }
    // The module keeps the name as written, blanks included, and no
    // variable's name has blanks around it.
    if (trimmed(*name) != *name) {
        model.addAttributeProblem(element, "variable",
                                  "variable=\"" + *name + "\" has blanks around the name; remove them");
        return;
    }
    if (variables.empty() || variables.count(*name) != 0) {
        return;
    }
    std::string message = "unknown variable \"" + *name + "\": the monitor thread does not know it";
    std::string nearest;
    std::size_t best = 3;
    for (const auto& known : variables) {
        std::size_t d = distance(*name, known.first);
        if (d < best) {
            best = d;
            nearest = known.first;
        }
    }
    if (!nearest.empty()) {
        message += "; did you mean \"" + nearest + "\"?";
    }
    model.addAttributeProblem(element, "variable", message);
}

// A trigger that is not instantaneous needs the entry's values logged; the
// module refuses it otherwise, and with it the whole configuration.
void checkTriggerInEntry(ProblemSink& model, const ElementRecord& trigger, const ElementRecord& entry)
{
    std::string valueType = attributeOf(trigger, "value-type");
    if (entry.name == "monitor-entry" && attributeOf(entry, "log") != "true" && !valueType.empty() &&
        valueType != "instantaneous") {
        model.addAttributeProblem(trigger, "value-type",
                                  "value-type=\"" + valueType + "\" needs the values of \"" +
                                      attributeOf(entry, "variable") +
                                      "\" logged: set log=\"true\" on its monitor-entry (the module refuses "
                                      "the whole configuration otherwise)");
    }
}

void checkSingleValue(ProblemSink& model, const ElementRecord& element, const std::string& of, ValueKind kind)
{
    std::string comparison = attributeOf(element, "comparison");
    std::string value = attributeOf(element, "value");
    bool ordered = comparison == "greater-than" || comparison == "less-than";
    if (ordered && kind == ValueKind::text) {
        model.addAttributeProblem(element, "comparison",
                                  comparison + " never fires: the values" + of + " are text, not numbers");
    } else if (!isNumber(value) && (ordered || kind == ValueKind::numbers)) {
        model.addAttributeProblem(element, "value",
                                  "value=\"" + value + "\" is not a number" +
                                      (ordered ? ", so " + comparison + " never fires"
                                               : ", but the values" + of + " are numbers: " + comparison +
                                                     " compares it as text"));
    }
}

void checkInterval(ProblemSink& model, const ElementRecord& element, const std::string& of, ValueKind kind)
{
    if (kind == ValueKind::text) {
        model.addElementProblem(element, "an interval never fires: the values" + of + " are text, not numbers");
        return;
    }
    double low = 0;
    double high = 0;
    const std::string lowText = attributeOf(element, "low-value");
    const std::string highText = attributeOf(element, "high-value");
    bool lowIsNumber = isNumber(lowText, low);
    bool highIsNumber = isNumber(highText, high);
    if (!lowIsNumber) {
        model.addAttributeProblem(element, "low-value",
                                  "low-value=\"" + lowText + "\" is not a number, so the interval never fires");
    }
    if (!highIsNumber) {
        model.addAttributeProblem(element, "high-value",
                                  "high-value=\"" + highText + "\" is not a number, so the interval never fires");
    }
    if (lowIsNumber && highIsNumber && low > high) {
        model.addAttributeProblem(element, "low-value",
                                  "low-value " + trimmed(lowText) + " is greater than high-value " +
                                      trimmed(highText) + ": the interval is empty; swap the bounds");
    }
}

// The module takes the first node of an element's content as its text, and
// drops an empty address without a word.
void checkText(ProblemSink& model, const ElementRecord& element)
{
    if (element.split) {
        model.addTextProblem(element, "<" + element.name +
                                          "> must hold plain text only: with a comment, processing instruction "
                                          "or CDATA section inside, the module reads only its first piece");
        return;
    }
    if (element.name != "email") {
        return;
    }
    std::string address = trimmed(element.text);
    if (address.empty()) {
        model.addElementProblem(element, "<email> is empty; the module skips it");
        return;
    }
    std::string fault = addressFault(address);
    if (!fault.empty()) {
        model.addTextProblem(element, "e-mail address \"" + address + "\" " + fault);
    }
}

} // namespace

void checkElementStart(const std::vector<ElementRecord>& open, const VariableCatalogue& variables, ProblemSink& model)
{
    const std::size_t depth = open.size() - 1;
    const ElementRecord& element = open[depth];
    if (element.name == "monitor-entry" || element.name == "preset-variable") {
        checkVariable(model, variables, element);
    } else if (element.name == "action-trigger") {
        if (const ElementRecord* entry = owner(open, depth)) {
            checkTriggerInEntry(model, element, *entry);
        }
    } else if ((element.name == "single-value" || element.name == "interval-value") && depth > 0 &&
               open[depth - 1].name == "action-trigger") {
        const ElementRecord* entry = owner(open, depth - 1);
        const std::string variable = entry != nullptr ? attributeOf(*entry, "variable") : std::string();
        const std::string of = variable.empty() ? std::string() : " of \"" + variable + "\"";
        ValueKind kind = kindOf(variables, entry);
        if (element.name == "single-value") {
            checkSingleValue(model, element, of, kind);
        } else {
            checkInterval(model, element, of, kind);
        }
    }
}

void checkElementEnd(const ElementRecord& element, ProblemSink& model)
{
    if (element.keepsText()) {
        checkText(model, element);
    }
}

} // namespace monvalidate
