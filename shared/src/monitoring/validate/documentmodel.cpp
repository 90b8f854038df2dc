// The document model: the open elements, and the problems found in one
// document, in the order the user reads them. See documentmodel.h.
#include "documentmodel.h"

#include "semantics.h"

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
    : _kind(kind), _variables(variables), _places(text), _explainer(_places, vocabulary)
{
}

void DocumentModel::startElement(ElementRecord element)
{
    resolvePending(&element);
    if (_open.size() >= maxDepth) {
        Place place = _places.startTagPlace(element.tagEnd);
        _parserProblems.push_back(Problem{std::string(), place.line, place.column,
                                          "elements are nested more than " + std::to_string(maxDepth) +
                                              " levels deep; checking stopped here"});
        _tooDeep = true;
        return;
    }
    if (!_rootSeen) {
        _rootSeen = true;
        if (!rootFits(_kind, element.name)) {
            Place place = _places.startTagPlace(element.tagEnd);
            _parserProblems.push_back(Problem{std::string(), place.line, place.column,
                                              "the document's root element is <" + element.name + ">, but a " +
                                                  kindName(_kind) + " has <" + rootNameOf(_kind) + ">"});
        }
    }
    rememberChild(element);
    _open.push_back(std::move(element));
    checkElementStart(_open, _variables, *this);
}

// The parent keeps its children's names for the wording of content
// problems: each distinct name once, with where its last one was, and the
// order as small indexes.
void DocumentModel::rememberChild(const ElementRecord& element)
{
    if (_open.empty()) {
        return;
    }
    ElementRecord& parent = _open.back();
    auto& children = parent.lastChildren;
    auto known = std::find_if(children.begin(), children.end(), [&element](const ElementRecord::Child& child) {
        return child.qualifiedName == element.qualifiedName;
    });
    if (known != children.end()) {
        known->tagEnd = element.tagEnd;
        parent.childOrder.push_back(static_cast<unsigned short>(known - children.begin()));
    } else if (children.size() < maxRememberedChildNames) {
        children.push_back(ElementRecord::Child{element.qualifiedName, element.name, element.namespaceUri.empty(),
                                                element.tagEnd});
        parent.childOrder.push_back(static_cast<unsigned short>(children.size() - 1));
    } else {
        parent.childOrder.push_back(ElementRecord::noChild);
    }
}

void DocumentModel::endElement()
{
    resolvePending(nullptr);
    if (!_open.empty() && !_tooDeep) {
        checkElementEnd(_open.back(), *this);
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

void DocumentModel::addSchemaReport(SchemaReport report)
{
    _pending.push_back(std::move(report));
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
void DocumentModel::resolvePending(ElementRecord* starting)
{
    for (const SchemaReport& pending : _pending) {
        ElementRecord* element = _open.empty() ? nullptr : &_open.back();
        const ElementRecord* parent = _open.size() > 1 ? &_open[_open.size() - 2] : nullptr;
        if (starting != nullptr && pending.place == starting->tagEnd) {
            parent = element;
            element = starting;
        }
        // A namespace the schemas do not have makes every name in its scope
        // unknown; the one message on the namespace says it all.
        if (_namespaceProblem.line != 0 && pending.place == _namespaceProblem) {
            continue;
        }
        if (pending.kind == SchemaReport::Kind::unknownNamespace) {
            _namespaceProblem = pending.place;
        }
        Place place = pending.place;
        std::string message = _explainer.explain(pending, element, parent, place);
        if (!message.empty()) {
            _parserProblems.push_back(Problem{std::string(), place.line, place.column, message});
        }
    }
    _pending.clear();
}

void DocumentModel::addElementProblem(const ElementRecord& element, const std::string& message)
{
    Place place = _places.startTagPlace(element.tagEnd);
    _problems.push_back(Problem{std::string(), place.line, place.column, message});
}

void DocumentModel::addAttributeProblem(const ElementRecord& element, const std::string& attributeName,
                                        const std::string& message)
{
    Place place = _places.attributePlace(element.tagEnd, attributeName);
    _problems.push_back(Problem{std::string(), place.line, place.column, message});
}

void DocumentModel::addTextProblem(const ElementRecord& element, const std::string& message)
{
    _problems.push_back(Problem{std::string(), element.tagEnd.line, element.tagEnd.column, message});
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
