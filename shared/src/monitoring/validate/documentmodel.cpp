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

void DocumentModel::addElementProblem(std::size_t element, const std::string& message)
{
    Place place = startTagPlace(element);
    problems.push_back(RawProblem{place.line, place.column, message});
}

void DocumentModel::addAttributeProblem(std::size_t element, const std::string& attributeName,
                                        const std::string& message)
{
    Place place = attributePlace(element, attributeName);
    problems.push_back(RawProblem{place.line, place.column, message});
}

void DocumentModel::addTextProblem(std::size_t element, const std::string& message)
{
    const ElementRecord& record = elements[element];
    problems.push_back(RawProblem{record.endLine, record.endColumn, message});
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

std::size_t DocumentModel::offsetOf(unsigned long line, unsigned long column)
{
    indexLines();
    if (line == 0 || line > _lineStarts.size()) {
        return std::string::npos;
    }
    std::size_t offset = _lineStarts[line - 1];
    unsigned long counted = 1;
    while (counted < column && offset < _text.size()) {
        unsigned long units = 1;
        offset += sequenceLength(static_cast<unsigned char>(_text[offset]), units);
        counted += units;
    }
    return std::min(offset, _text.size());
}

DocumentModel::Place DocumentModel::placeOf(std::size_t offset)
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

// The parser reports an element where its start tag ends. No '<' can stand
// inside a start tag (attribute values may not hold one), so the last '<'
// before that place is where the tag begins.
std::size_t DocumentModel::startTagOffset(std::size_t element)
{
    const ElementRecord& record = elements[element];
    if (!textIsByteCompatible()) {
        return std::string::npos;
    }
    std::size_t end = offsetOf(record.endLine, record.endColumn);
    if (end == std::string::npos || end == 0) {
        return std::string::npos;
    }
    return _text.rfind('<', end - 1);
}

DocumentModel::Place DocumentModel::startTagPlace(std::size_t element)
{
    std::size_t start = startTagOffset(element);
    if (start == std::string::npos) {
        return Place{elements[element].endLine, elements[element].endColumn};
    }
    return placeOf(start);
}

// Walks the start tag attribute by attribute (names, '=', quoted values) to
// the named one.
DocumentModel::Place DocumentModel::attributePlace(std::size_t element, const std::string& attributeName)
{
    std::size_t start = startTagOffset(element);
    if (start == std::string::npos) {
        return startTagPlace(element);
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
    return startTagPlace(element);
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

// The innermost element whose span, from the end of its start tag to the end
// of its end tag, holds the place: the parser reports an attribute or an
// unknown element where the start tag ends, text where it stands, and the
// content of an element where the element ends.
std::size_t DocumentModel::elementAround(unsigned long line, unsigned long column) const
{
    std::size_t found = noElement;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const ElementRecord& record = elements[i];
        if (before(line, column, record.endLine, record.endColumn)) {
            break;
        }
        // An element still open when the parse stopped holds everything after it.
        if (record.closeLine == 0 || !before(record.closeLine, record.closeColumn, line, column)) {
            found = i;
        }
    }
    return found;
}

std::size_t DocumentModel::lastChildNamed(std::size_t parent, const std::string& name) const
{
    std::size_t found = noElement;
    for (std::size_t child : elements[parent].children) {
        if (elements[child].name == name) {
            found = child;
        }
    }
    return found;
}

const ElementVocabulary* DocumentModel::vocabularyOf(const std::string& elementName) const
{
    if (_vocabulary == nullptr) {
        return nullptr;
    }
    auto found = _vocabulary->find(elementName);
    return found != _vocabulary->end() ? &found->second : nullptr;
}

std::string DocumentModel::explainParserMessage(const std::string& message, std::size_t element, Place& place,
                                                std::vector<std::string>& undeclared)
{
    std::string value;
    std::string name;
    std::string model;
    const bool known = element != noElement;
    const std::string tag = known ? "<" + elements[element].name + ">" : std::string();
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
        const ElementRecord& record = elements[element];
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
            Place at = attributePlace(element, attributeName);
            place = at;
        } else {
            subject = "the text \"" + value + "\" of " + tag;
            place = Place{record.endLine, record.endColumn};
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
        if (isUndeclared(elements[element].name) || name.compare(0, 5, "xmlns") == 0) {
            return std::string();
        }
        place = attributePlace(element, name);
        const ElementVocabulary* vocabulary = vocabularyOf(elements[element].name);
        std::string text = "unknown attribute " + name + " on " + tag;
        if (vocabulary != nullptr) {
            text += vocabulary->attributes.empty() ? "; it takes no attributes"
                                                   : "; its attributes are: " + join(vocabulary->attributes, ", ");
        }
        return text;
    }
    if (known && between(message, "missing required attribute '", "'", name)) {
        place = startTagPlace(element);
        return tag + " needs the attribute " + name;
    }
    if (known && between(message, "no declaration found for element '", "'", name)) {
        undeclared.push_back(name);
        if (element == 0) {
            return std::string(); // the check of the root element says it
        }
        place = startTagPlace(element);
        std::string text = "unknown element <" + name + ">";
        std::size_t parent = elements[element].parent;
        const ElementVocabulary* vocabulary = parent != noElement ? vocabularyOf(elements[parent].name) : nullptr;
        if (vocabulary != nullptr) {
            text += " in <" + elements[parent].name + ">";
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
        std::size_t child = lastChildNamed(element, name);
        if (child != noElement) {
            place = startTagPlace(child);
        }
        return "<" + name + "> is not allowed here; " + tag + " holds " + ContentModelWords(model).words();
    }
    if (known && between(message, "empty content is not valid for content model '", "'", model)) {
        place = startTagPlace(element);
        return tag + " is incomplete; it must hold " + ContentModelWords(model).words();
    }
    if (known && message == "no character data is allowed by content model") {
        return tag + " may not hold text";
    }
    if (known && message.find("is of simple type and cannot have elements") != std::string::npos) {
        place = startTagPlace(element);
        return tag + " may hold only text, no elements";
    }
    if (between(message, "grammar not found for namespace '", "'", name)) {
        if (known) {
            place = startTagPlace(element);
        }
        return "namespace \"" + name + "\" is not part of the configuration format; remove the xmlns declaration";
    }
    if (message == "invalid document structure" && trimmedText(_text).empty()) {
        return "the document is empty";
    }
    return message;
}

std::vector<Problem> DocumentModel::finish(const std::string& sourceName)
{
    std::vector<Problem> result;
    std::vector<std::string> undeclared;
    Place namespaceProblem;
    for (const RawProblem& problem : parserProblems) {
        // A namespace the schemas do not have makes every name in its scope
        // unknown; the one message on the namespace says it all.
        if (namespaceProblem.line != 0 && problem.line == namespaceProblem.line &&
            problem.column == namespaceProblem.column) {
            continue;
        }
        if (problem.message.compare(0, 26, "grammar not found for name") == 0) {
            namespaceProblem = Place{problem.line, problem.column};
        }
        Place place{problem.line, problem.column};
        std::size_t element = problem.line != 0 ? elementAround(problem.line, problem.column) : noElement;
        std::string message = explainParserMessage(problem.message, element, place, undeclared);
        if (!message.empty()) {
            result.push_back(Problem{sourceName, place.line, place.column, message});
        }
    }
    for (const RawProblem& problem : problems) {
        result.push_back(Problem{sourceName, problem.line, problem.column, problem.message});
    }
    // In document order; problems without a place last.
    std::stable_sort(result.begin(), result.end(), [](const Problem& a, const Problem& b) {
        if (a.line == 0 || b.line == 0) {
            return a.line != 0 && b.line == 0;
        }
        return before(a.line, a.column, b.line, b.column);
    });
    return result;
}

} // namespace monvalidate
