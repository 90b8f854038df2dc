// Places and wording of the problems found in one document.
#include "documentmodel.h"

#include <algorithm>

namespace monvalidate {

const std::string* ElementRecord::attribute(const std::string& attributeName) const
{
    for (const auto& attribute : attributes) {
        if (attribute.first == attributeName) {
            return &attribute.second;
        }
    }
    return nullptr;
}

namespace {

bool before(unsigned long lineA, unsigned long columnA, unsigned long lineB, unsigned long columnB)
{
    return lineA < lineB || (lineA == lineB && columnA < columnB);
}

std::string join(const std::vector<std::string>& words, const std::string& separator)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

// The text between the first "head" and the last "tail" of a message, as the
// parser quotes a value or a name; false when the message has another form.
bool between(const std::string& message, const std::string& head, const std::string& tail, std::string& found)
{
    std::size_t start = message.find(head);
    std::size_t end = message.rfind(tail);
    if (start == std::string::npos || end == std::string::npos || end < start + head.size()) {
        return false;
    }
    found = message.substr(start + head.size(), end - start - head.size());
    return true;
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

// Puts a content model as the parser prints it, "((a|b),c?)", into words:
// "one of <a>, <b>, then optionally <c>".
class ContentModelWords {
public:
    explicit ContentModelWords(const std::string& model) : _model(model) {}

    std::string words()
    {
        std::string text = item();
        return _failed || _position != _model.size() ? _model : text;
    }

private:
    std::string item()
    {
        std::string text;
        if (_position < _model.size() && _model[_position] == '(') {
            ++_position;
            text = group();
            if (_position >= _model.size() || _model[_position] != ')') {
                _failed = true;
                return text;
            }
            ++_position;
        } else {
            std::size_t start = _position;
            while (_position < _model.size() && std::string(",|()?*+").find(_model[_position]) == std::string::npos) {
                ++_position;
            }
            if (start == _position) {
                _failed = true;
                return text;
            }
            text = "<" + _model.substr(start, _position - start) + ">";
        }
        if (_position < _model.size()) {
            switch (_model[_position]) {
            case '?':
                ++_position;
                return "optionally " + text;
            case '*':
                ++_position;
                return "any number of " + text;
            case '+':
                ++_position;
                return "one or more of " + text;
            default:
                break;
            }
        }
        return text;
    }

    std::string group()
    {
        std::vector<std::string> items{item()};
        char separator = 0;
        while (!_failed && _position < _model.size() && (_model[_position] == ',' || _model[_position] == '|')) {
            separator = _model[_position++];
            items.push_back(item());
        }
        if (separator == '|') {
            return "one of " + join(items, ", ");
        }
        return join(items, ", then ");
    }

    const std::string& _model;
    std::size_t _position = 0;
    bool _failed = false;
};

} // namespace

namespace {

const char* rootNameOf(DocumentKind kind)
{
    switch (kind) {
    case DocumentKind::monitorConfig:
        return "monitor-config";
    case DocumentKind::presetTriggers:
        return "preset-triggers";
    case DocumentKind::monitorEntry:
        return "monitor-entry";
    case DocumentKind::actionTrigger:
        return "action-trigger";
    }
    return "";
}

const char* kindName(DocumentKind kind)
{
    switch (kind) {
    case DocumentKind::monitorConfig:
        return "monitoring configuration";
    case DocumentKind::presetTriggers:
        return "preset catalogue";
    case DocumentKind::monitorEntry:
        return "monitor entry";
    case DocumentKind::actionTrigger:
        return "action trigger";
    }
    return "";
}

// The module takes any root name, but the schemas declare other elements
// globally too: a trigger text given where an entry belongs would pass them.
// The catalogue's root has two names in use.
bool rootFits(DocumentKind kind, const std::string& name)
{
    if (kind == DocumentKind::presetTriggers) {
        return name == "preset-triggers" || name == "presets";
    }
    return name == rootNameOf(kind);
}

// Children remembered per open element for the wording of content problems;
// a valid element has only a few kinds of children.
constexpr std::size_t maxRememberedChildNames = 64;

} // namespace

DocumentModel::DocumentModel(const std::string& text, DocumentKind kind, const Vocabulary* vocabulary,
                             const VariableCatalogue& variables)
    : _text(text), _kind(kind), _vocabulary(vocabulary), _variables(variables)
{
}

void DocumentModel::startElement(ElementRecord element)
{
    resolvePending(&element);
    if (_open.size() >= maxDepth) {
        Place place = startTagPlace(element.tagEnd);
        _parserProblems.push_back(Problem{std::string(), place.line, place.column,
                                          "elements are nested more than " + std::to_string(maxDepth) +
                                              " levels deep; checking stopped here"});
        _tooDeep = true;
        return;
    }
    if (!_rootSeen) {
        _rootSeen = true;
        if (!rootFits(_kind, element.name)) {
            Place place = startTagPlace(element.tagEnd);
            _parserProblems.push_back(Problem{std::string(), place.line, place.column,
                                              "the document's root element is <" + element.name + ">, but a " +
                                                  kindName(_kind) + " has <" + rootNameOf(_kind) + ">"});
        }
    }
    if (!_open.empty()) {
        auto& children = _open.back().lastChildren;
        auto known = std::find_if(children.begin(), children.end(),
                                  [&element](const auto& child) { return child.first == element.name; });
        if (known != children.end()) {
            known->second = element.tagEnd;
        } else if (children.size() < maxRememberedChildNames) {
            children.emplace_back(element.name, element.tagEnd);
        }
    }
    _open.push_back(std::move(element));
    checkElementStart(*this);
}

void DocumentModel::endElement()
{
    resolvePending(nullptr);
    if (!_open.empty() && !_tooDeep) {
        checkElementEnd(*this);
        _open.pop_back();
    }
}

void DocumentModel::characters(const std::string& text)
{
    resolvePending(nullptr);
    if (!wantsText()) {
        return;
    }
    ElementRecord& current = _open.back();
    if (current.interrupted || !current.hasText) {
        current.split = current.split || current.hasText;
        current.hasText = true;
        current.interrupted = false;
    }
    current.text += text;
}

void DocumentModel::interruptText()
{
    if (!_open.empty()) {
        _open.back().interrupted = true;
    }
}

void DocumentModel::splitText()
{
    if (!_open.empty()) {
        _open.back().split = true;
    }
}

void DocumentModel::addParserProblem(Place place, const std::string& message)
{
    _pending.emplace_back(place, message);
}

void DocumentModel::addDocumentProblem(Place place, const std::string& message)
{
    resolvePending(nullptr);
    _parserProblems.push_back(Problem{std::string(), place.line, place.column, message});
}

// A problem at the place where the starting element's tag ends is about that
// element (its attributes, or the element itself where it is not allowed);
// any other is about the innermost open element: text inside it, or its
// content found wrong where it ends.
void DocumentModel::resolvePending(const ElementRecord* starting)
{
    for (const auto& pending : _pending) {
        const ElementRecord* element = _open.empty() ? nullptr : &_open.back();
        const ElementRecord* parent = _open.size() > 1 ? &_open[_open.size() - 2] : nullptr;
        if (starting != nullptr && pending.first == starting->tagEnd) {
            parent = element;
            element = starting;
        }
        // A namespace the schemas do not have makes every name in its scope
        // unknown; the one message on the namespace says it all.
        if (_namespaceProblem.line != 0 && pending.first == _namespaceProblem) {
            continue;
        }
        if (pending.second.compare(0, 26, "grammar not found for name") == 0) {
            _namespaceProblem = pending.first;
        }
        Place place = pending.first;
        std::string message = explain(pending.second, element, parent, place);
        if (!message.empty()) {
            _parserProblems.push_back(Problem{std::string(), place.line, place.column, message});
        }
    }
    _pending.clear();
}

void DocumentModel::addElementProblem(const ElementRecord& element, const std::string& message)
{
    Place place = startTagPlace(element.tagEnd);
    _problems.push_back(Problem{std::string(), place.line, place.column, message});
}

void DocumentModel::addAttributeProblem(const ElementRecord& element, const std::string& attributeName,
                                        const std::string& message)
{
    Place place = attributePlace(element.tagEnd, attributeName);
    _problems.push_back(Problem{std::string(), place.line, place.column, message});
}

void DocumentModel::addTextProblem(const ElementRecord& element, const std::string& message)
{
    _problems.push_back(Problem{std::string(), element.tagEnd.line, element.tagEnd.column, message});
}

// The parser reports places in characters of the decoded text. Only when
// the bytes are ASCII-compatible (UTF-8, its ASCII subset) can they be
// mapped back onto the text to find where a tag starts; otherwise the
// parser's own places are kept.
bool DocumentModel::textIsByteCompatible() const
{
    if (_text.size() >= 2) {
        const unsigned char first = static_cast<unsigned char>(_text[0]);
        const unsigned char second = static_cast<unsigned char>(_text[1]);
        if (first == 0 || second == 0 || first == 0xFE || first == 0xFF || first == 0x4C) {
            return false;
        }
    }
    return true;
}

// Line ends as XML counts them: LF, CR LF and a lone CR each end a line.
void DocumentModel::indexLines()
{
    if (_indexed) {
        return;
    }
    _indexed = true;
    _lineStarts.push_back(0);
    for (std::size_t i = 0; i < _text.size(); ++i) {
        if (_text[i] == '\n') {
            _lineStarts.push_back(i + 1);
        } else if (_text[i] == '\r') {
            if (i + 1 < _text.size() && _text[i + 1] == '\n') {
                ++i;
            }
            _lineStarts.push_back(i + 1);
        }
    }
}

namespace {

// Bytes of the UTF-8 sequence that starts with this byte, and how many
// UTF-16 units (the parser's characters) it stands for.
std::size_t sequenceLength(unsigned char lead, unsigned long& units)
{
    units = 1;
    if (lead < 0xC0) {
        return 1;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        return 3;
    }
    units = 2;
    return 4;
}

} // namespace

std::size_t DocumentModel::offsetOf(Place place)
{
    indexLines();
    if (place.line == 0 || place.line > _lineStarts.size()) {
        return std::string::npos;
    }
    std::size_t offset = _lineStarts[place.line - 1];
    unsigned long counted = 1;
    while (counted < place.column && offset < _text.size()) {
        unsigned long units = 1;
        offset += sequenceLength(static_cast<unsigned char>(_text[offset]), units);
        counted += units;
    }
    return std::min(offset, _text.size());
}

Place DocumentModel::placeOf(std::size_t offset)
{
    indexLines();
    auto next = std::upper_bound(_lineStarts.begin(), _lineStarts.end(), offset);
    Place place;
    place.line = static_cast<unsigned long>(next - _lineStarts.begin());
    std::size_t position = _lineStarts[place.line - 1];
    place.column = 1;
    while (position < offset && position < _text.size()) {
        unsigned long units = 1;
        position += sequenceLength(static_cast<unsigned char>(_text[position]), units);
        place.column += units;
    }
    return place;
}

// No '<' can stand inside a start tag (attribute values may not hold one),
// so the last '<' before the place where the tag ends is where it begins.
std::size_t DocumentModel::startTagOffset(Place tagEnd)
{
    if (!textIsByteCompatible()) {
        return std::string::npos;
    }
    std::size_t end = offsetOf(tagEnd);
    if (end == std::string::npos || end == 0) {
        return std::string::npos;
    }
    return _text.rfind('<', end - 1);
}

Place DocumentModel::startTagPlace(Place tagEnd)
{
    std::size_t start = startTagOffset(tagEnd);
    return start == std::string::npos ? tagEnd : placeOf(start);
}

// Walks the start tag attribute by attribute (names, '=', quoted values) to
// the named one.
Place DocumentModel::attributePlace(Place tagEnd, const std::string& attributeName)
{
    std::size_t start = startTagOffset(tagEnd);
    if (start == std::string::npos) {
        return tagEnd;
    }
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t i = start + 1;
    while (i < _text.size() && !isBlank(_text[i]) && _text[i] != '>' && _text[i] != '/') {
        ++i;
    }
    while (i < _text.size()) {
        while (i < _text.size() && isBlank(_text[i])) {
            ++i;
        }
        if (i >= _text.size() || _text[i] == '>' || _text[i] == '/') {
            break;
        }
        std::size_t nameStart = i;
        while (i < _text.size() && !isBlank(_text[i]) && _text[i] != '=' && _text[i] != '>') {
            ++i;
        }
        std::string name = _text.substr(nameStart, i - nameStart);
        std::size_t colon = name.find(':');
        if (name == attributeName || (colon != std::string::npos && name.substr(colon + 1) == attributeName)) {
            return placeOf(nameStart);
        }
        while (i < _text.size() && _text[i] != '"' && _text[i] != '\'' && _text[i] != '>') {
            ++i;
        }
        if (i >= _text.size() || _text[i] == '>') {
            break;
        }
        std::size_t close = _text.find(_text[i], i + 1);
        if (close == std::string::npos) {
            break;
        }
        i = close + 1;
    }
    return startTagPlace(tagEnd);
}

const ElementVocabulary* DocumentModel::vocabularyOf(const std::string& elementName) const
{
    if (_vocabulary == nullptr) {
        return nullptr;
    }
    auto found = _vocabulary->find(elementName);
    return found != _vocabulary->end() ? &found->second : nullptr;
}

std::string DocumentModel::explain(const std::string& message, const ElementRecord* element,
                                   const ElementRecord* parent, Place& place)
{
    std::vector<std::string>& undeclared = _undeclared;
    std::string value;
    std::string name;
    std::string model;
    const bool known = element != nullptr;
    const std::string tag = known ? "<" + element->name + ">" : std::string();
    auto isUndeclared = [&undeclared](const std::string& elementName) {
        return std::find(undeclared.begin(), undeclared.end(), elementName) != undeclared.end();
    };

    // Value errors: say which attribute (or which text) holds the value.
    if (known && message.compare(0, 7, "value '") == 0) {
        std::size_t close = message.find("' ", 7);
        std::string detail;
        if (between(message, "value '", "' not in enumeration", value)) {
            detail = "enumeration";
        } else if (between(message, "value '", "' does not match regular expression facet", value)) {
            detail = "pattern";
        } else if (between(message, "value '", "' must be less than or equal to maxInclusive", value)) {
            detail = "max";
        } else if (between(message, "value '", "' must be greater than or equal to minInclusive", value)) {
            detail = "min";
        } else if (between(message, "value '", "' has length", value)) {
            detail = "length";
        } else if (close != std::string::npos) {
            value = message.substr(7, close - 7);
        }
        const ElementRecord& record = *element;
        std::string subject;
        std::string attributeName;
        for (const auto& attribute : record.attributes) {
            if (attribute.second == value || trimmedText(attribute.second) == value) {
                attributeName = attribute.first;
                break;
            }
        }
        if (!attributeName.empty()) {
            subject = attributeName + "=\"" + *record.attribute(attributeName) + "\" on " + tag;
            place = attributePlace(record.tagEnd, attributeName);
        } else {
            subject = "the text \"" + value + "\" of " + tag;
            place = record.tagEnd;
        }
        std::string limit;
        between(message, "facet value '", "'", limit);
        if (detail == "enumeration") {
            std::string text = subject + " is not allowed";
            const ElementVocabulary* vocabulary = vocabularyOf(record.name);
            if (vocabulary != nullptr && vocabulary->words.count(attributeName) != 0) {
                const std::vector<std::string>& words = vocabulary->words.at(attributeName);
                std::string bare = trimmedText(*record.attribute(attributeName));
                if (bare != *record.attribute(attributeName) &&
                    std::find(words.begin(), words.end(), bare) != words.end()) {
                    return text + ": remove the blanks around the word";
                }
                text += "; use one of: " + join(words, ", ");
            }
            return text;
        }
        if (detail == "pattern") {
            return subject + " is not a whole number";
        }
        if (detail == "max") {
            return subject + " is too large: at most " + limit;
        }
        if (detail == "min") {
            return subject + " is too small: at least " + limit;
        }
        if (detail == "length") {
            return subject + " must not be empty";
        }
        return subject + ": " + message;
    }

    if (known && between(message, "attribute '", "' is not declared for element", name)) {
        if (isUndeclared(element->name) || name.compare(0, 5, "xmlns") == 0) {
            return std::string();
        }
        place = attributePlace(element->tagEnd, name);
        const ElementVocabulary* vocabulary = vocabularyOf(element->name);
        std::string text = "unknown attribute " + name + " on " + tag;
        if (vocabulary != nullptr) {
            text += vocabulary->attributes.empty() ? "; it takes no attributes"
                                                   : "; its attributes are: " + join(vocabulary->attributes, ", ");
        }
        return text;
    }
    if (known && between(message, "missing required attribute '", "'", name)) {
        place = startTagPlace(element->tagEnd);
        return tag + " needs the attribute " + name;
    }
    if (known && between(message, "no declaration found for element '", "'", name)) {
        undeclared.push_back(name);
        if (parent == nullptr) {
            return std::string(); // the check of the root element says it
        }
        place = startTagPlace(element->tagEnd);
        std::string text = "unknown element <" + name + ">";
        const ElementVocabulary* vocabulary = vocabularyOf(parent->name);
        if (vocabulary != nullptr) {
            text += " in <" + parent->name + ">";
            text += vocabulary->children.empty() ? ", which holds no elements"
                                                 : "; allowed there: " + join(vocabulary->children, ", ");
        }
        return text;
    }
    if (known && between(message, "element '", "' is not allowed for content model '", name) &&
        between(message, "content model '", "'", model)) {
        if (isUndeclared(name)) {
            return std::string();
        }
        for (const auto& child : element->lastChildren) {
            if (child.first == name) {
                place = startTagPlace(child.second);
            }
        }
        return "<" + name + "> is not allowed here; " + tag + " expects " + ContentModelWords(model).words();
    }
    if (known && between(message, "empty content is not valid for content model '", "'", model)) {
        place = startTagPlace(element->tagEnd);
        return tag + " is incomplete; it must hold " + ContentModelWords(model).words();
    }
    if (known && message == "no character data is allowed by content model") {
        return tag + " may not hold text";
    }
    if (known && message.find("is of simple type and cannot have elements") != std::string::npos) {
        place = startTagPlace(element->tagEnd);
        return tag + " may hold only text, no elements";
    }
    if (between(message, "grammar not found for namespace '", "'", name)) {
        if (known) {
            place = startTagPlace(element->tagEnd);
        }
        return "namespace \"" + name + "\" is not part of the configuration format; remove the xmlns declaration";
    }
    if (message.find("invalid document structure") != std::string::npos && trimmedText(_text).empty()) {
        return "the document is empty";
    }
    return message;
}

std::vector<Problem> DocumentModel::finish(const std::string& sourceName)
{
    resolvePending(nullptr);
    std::vector<Problem> result = std::move(_parserProblems);
    if (result.empty()) {
        result = std::move(_problems);
    }
    for (Problem& problem : result) {
        problem.file = sourceName;
    }
    // In document order; problems without a place last.
    std::stable_sort(result.begin(), result.end(), [](const Problem& a, const Problem& b) {
        if (a.line == 0 || b.line == 0) {
            return a.line != 0 && b.line == 0;
        }
        return before(a.line, a.column, b.line, b.column);
    });
    if (result.size() >= maxProblems) {
        result.resize(maxProblems);
        result.push_back(Problem{sourceName, 0, 0,
                                 "too many problems: checking stopped after the first " +
                                     std::to_string(maxProblems)});
    }
    return result;
}

} // namespace monvalidate
