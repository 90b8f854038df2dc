// Explanations of the schema validation's faults. See schemaexplainer.h.
#include "schemaexplainer.h"

#include "contentmodel.h"

#include <algorithm>

namespace monvalidate {

namespace {

// Attributes of the instance namespace are the parser's to check.
const char* const instanceNamespace = "http://www.w3.org/2001/XMLSchema-instance";

std::string join(const std::vector<std::string>& words, const std::string& separator)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

std::string trimmedText(const std::string& text)
{
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool contains(const std::vector<std::string>& words, const std::string& word)
{
    return std::find(words.begin(), words.end(), word) != words.end();
}

} // namespace

const ElementVocabulary* SchemaExplainer::vocabularyOf(const std::string& elementName) const
{
    if (_vocabulary == nullptr) {
        return nullptr;
    }
    auto found = _vocabulary->find(elementName);
    return found != _vocabulary->end() ? &found->second : nullptr;
}

bool SchemaExplainer::isUndeclared(const std::string& elementName) const
{
    return contains(_undeclared, elementName);
}

std::string SchemaExplainer::explain(const SchemaReport& report, ElementRecord* element, const ElementRecord* parent,
                                     Place& place)
{
    using Kind = SchemaReport::Kind;
    if (report.kind == Kind::noRootElement && _places.blank()) {
        return "the document is empty";
    }
    if (report.kind == Kind::unknownNamespace && element != nullptr) {
        place = _places.startTagPlace(element->tagEnd);
        return "namespace \"" + element->namespaceUri +
               "\" is not part of the configuration format; remove the xmlns declaration";
    }
    if (element == nullptr) {
        return report.message;
    }
    const std::string tag = "<" + element->name + ">";
    switch (report.kind) {
    case Kind::value:
        return explainValue(report, *element, place);
    case Kind::attributeNotDeclared:
        return explainUndeclaredAttribute(report, *element, place);
    case Kind::attributeMissing:
        return explainMissingAttribute(report, *element, place);
    case Kind::elementNotDeclared: {
        _undeclared.push_back(element->name);
        if (parent == nullptr) {
            return std::string(); // the check of the root element says it
        }
        place = _places.startTagPlace(element->tagEnd);
        std::string text = "unknown element <" + element->name + ">";
        if (const ElementVocabulary* vocabulary = vocabularyOf(parent->name)) {
            text += " in <" + parent->name + ">";
            text += vocabulary->children.empty() ? ", which holds no elements"
                                                 : "; allowed there: " + join(vocabulary->children, ", ");
        }
        return text;
    }
    case Kind::elementNotAllowed:
        return explainMisfit(report, *element, place);
    case Kind::contentIncomplete: {
        const ElementVocabulary* vocabulary = vocabularyOf(element->name);
        if (vocabulary == nullptr || vocabulary->content == nullptr) {
            return report.message;
        }
        place = _places.startTagPlace(element->tagEnd);
        return tag + " is incomplete; it must hold " + contentModelWords(*vocabulary->content);
    }
    case Kind::textNotAllowed:
        return tag + " may not hold text";
    case Kind::elementsNotAllowed:
        place = _places.startTagPlace(element->tagEnd);
        return tag + " may hold only text, no elements";
    default:
        return report.message;
    }
}

// Say which attribute (or which text) holds the value. The attributes the
// schema refuses were found when the element started, in document order,
// as the parser reports them.
std::string SchemaExplainer::explainValue(const SchemaReport& report, ElementRecord& element, Place& place)
{
    const std::string tag = "<" + element.name + ">";
    std::string attributeName;
    auto fault = std::find_if(element.attributeFaults.begin(), element.attributeFaults.end(),
                              [&report](const auto& candidate) { return candidate.second == report.valueFault; });
    if (fault != element.attributeFaults.end() && element.attribute(fault->first) != nullptr) {
        attributeName = fault->first;
        element.attributeFaults.erase(fault);
    } else if (!element.keepsText()) {
        return report.message; // neither an attribute nor a text of this element
    }
    std::string subject;
    if (!attributeName.empty()) {
        subject = attributeName + "=\"" + *element.attribute(attributeName) + "\" on " + tag;
        place = _places.attributePlace(element.tagEnd, attributeName);
    } else {
        subject = "the text \"" + trimmedText(element.text) + "\" of " + tag;
        place = element.tagEnd;
    }
    const ElementVocabulary* vocabulary = vocabularyOf(element.name);
    ValueLimits limits;
    if (vocabulary != nullptr && vocabulary->limits.count(attributeName) != 0) {
        limits = vocabulary->limits.at(attributeName);
    }
    switch (report.valueFault) {
    case ValueFault::enumeration: {
        std::string text = subject + " is not allowed";
        if (vocabulary != nullptr && vocabulary->words.count(attributeName) != 0) {
            const std::vector<std::string>& words = vocabulary->words.at(attributeName);
            const std::string& value = *element.attribute(attributeName);
            if (trimmedText(value) != value && contains(words, trimmedText(value))) {
                return text + ": remove the blanks around the word";
            }
            text += "; use one of: " + join(words, ", ");
        }
        return text;
    }
    case ValueFault::pattern:
        return subject + " is not a whole number";
    case ValueFault::tooLarge:
        return subject + " is too large: at most " + limits.maxInclusive;
    case ValueFault::tooSmall:
        return subject + " is too small: at least " + limits.minInclusive;
    case ValueFault::length:
        return subject + " must not be empty";
    case ValueFault::other:
        break;
    }
    return subject + ": " + report.message;
}

// The parser names the attributes it does not know in document order; the
// namespace declarations among them are no attributes to the document.
std::string SchemaExplainer::explainUndeclaredAttribute(const SchemaReport& report, ElementRecord& element,
                                                        Place& place)
{
    if (isUndeclared(element.name)) {
        return std::string();
    }
    const ElementVocabulary* vocabulary = vocabularyOf(element.name);
    if (vocabulary == nullptr) {
        return report.message;
    }
    std::size_t skip = element.undeclaredExplained++;
    for (std::size_t i = 0; i < element.attributes.size(); ++i) {
        const std::string& uri = i < element.attributeUris.size() ? element.attributeUris[i] : std::string();
        const std::string& localName = element.attributes[i].first;
        bool known = uri.empty() ? contains(vocabulary->attributes, localName) : uri == instanceNamespace;
        if (known || skip-- != 0) {
            continue;
        }
        const std::string name = uri.empty() ? localName : "{" + uri + "}" + localName;
        place = _places.attributePlace(element.tagEnd, name);
        std::string text = "unknown attribute " + name + " on <" + element.name + ">";
        text += vocabulary->attributes.empty() ? "; it takes no attributes"
                                               : "; its attributes are: " + join(vocabulary->attributes, ", ");
        return text;
    }
    return std::string();
}

std::string SchemaExplainer::explainMissingAttribute(const SchemaReport& report, ElementRecord& element,
                                                     Place& place)
{
    const ElementVocabulary* vocabulary = vocabularyOf(element.name);
    if (vocabulary == nullptr) {
        return report.message;
    }
    std::size_t skip = element.missingExplained++;
    for (const std::string& name : vocabulary->requiredAttributes) {
        if (element.attribute(name) != nullptr || skip-- != 0) {
            continue;
        }
        place = _places.startTagPlace(element.tagEnd);
        return "<" + element.name + "> needs the attribute " + name;
    }
    return report.message;
}

// The content is found wrong where the element ends: the first child its
// model cannot take is the one to name. Without children, the element
// itself is named.
std::string SchemaExplainer::explainMisfit(const SchemaReport& report, const ElementRecord& element, Place& place)
{
    const ElementVocabulary* vocabulary = vocabularyOf(element.name);
    if (vocabulary == nullptr || vocabulary->content == nullptr) {
        return report.message;
    }
    std::vector<ChildName> children;
    children.reserve(element.childOrder.size());
    static const std::string unknown;
    for (unsigned short index : element.childOrder) {
        if (index == ElementRecord::noChild) {
            children.push_back(ChildName{&unknown, false});
        } else {
            const ElementRecord::Child& child = element.lastChildren[index];
            children.push_back(ChildName{&child.name, child.inNoNamespace});
        }
    }
    std::size_t misfit = firstMisfit(*vocabulary->content, children);
    std::string name = element.qualifiedName;
    if (misfit < element.childOrder.size() && element.childOrder[misfit] != ElementRecord::noChild) {
        const ElementRecord::Child& child = element.lastChildren[element.childOrder[misfit]];
        if (isUndeclared(child.name)) {
            return std::string();
        }
        name = child.qualifiedName;
        place = _places.startTagPlace(child.tagEnd);
    }
    return "<" + name + "> is not allowed here; <" + element.name + "> expects " +
           contentModelWords(*vocabulary->content);
}

} // namespace monvalidate
