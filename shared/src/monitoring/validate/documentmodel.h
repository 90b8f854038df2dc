// What the checker follows of a document while the parser reads it: the
// elements open at the moment, and the problems found so far, placed and
// worded for the user. Only the open elements are kept, so a large document
// costs no more memory than its text. Internal to the validator.
#pragma once

#include "configvalidator.h"

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace monvalidate {

/// What a schema allows, per element name, for wording the problems: an
/// element name has one meaning throughout a schema.
struct ElementVocabulary {
    std::vector<std::string> attributes;
    /// Attribute name -> the words it may take (only for enumerations).
    std::map<std::string, std::vector<std::string>> words;
    std::vector<std::string> children;
};
using Vocabulary = std::map<std::string, ElementVocabulary>;

/// A place in the document as the parser counts: 1-based line and column.
struct Place {
    unsigned long line = 0;
    unsigned long column = 0;
    bool operator==(const Place& other) const { return line == other.line && column == other.column; }
};

/// One open element.
struct ElementRecord {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    /// Where its start tag ends: the parser reports the element there.
    Place tagEnd;
    /// Character content, kept only where the module reads text (keepsText).
    std::string text;
    bool hasText = false;
    /// A CDATA section began or ended since the last character content.
    bool interrupted = false;
    /// The content is more than one node: the module reads only the first.
    bool split = false;
    /// Per child name, where the last such child's start tag ended.
    std::vector<std::pair<std::string, Place>> lastChildren;

    bool keepsText() const { return name == "email" || name == "seconds"; }
    /// The attribute's value, or null when the element has none of that name.
    const std::string* attribute(const std::string& attributeName) const;
};

class DocumentModel {
public:
    /// The parse stops when this many problems are found.
    static constexpr std::size_t maxProblems = maxProblemsReported;
    /// Deepest nesting followed. Configuration documents are a few levels
    /// deep, and the parser's namespace lookups cost time in proportion to
    /// the depth at every element, so a deeper document is refused there.
    static constexpr std::size_t maxDepth = 100;

    DocumentModel(const std::string& text, DocumentKind kind, const Vocabulary* vocabulary,
                  const VariableCatalogue& variables);

    // Events of the parse, in document order.
    void startElement(ElementRecord element);
    void endElement();
    /// Character content of the innermost open element.
    void characters(const std::string& text);
    bool wantsText() const { return !_open.empty() && _open.back().keepsText(); }
    /// A CDATA boundary; a comment or processing instruction.
    void interruptText();
    void splitText();
    /// What the parser reported, where it stood.
    void addParserProblem(Place place, const std::string& message);
    /// A problem of the document as a whole, already worded.
    void addDocumentProblem(Place place, const std::string& message);

    /// The parse should stop: too many problems, or nested too deep.
    bool stopped() const { return _tooDeep || _parserProblems.size() + _problems.size() >= maxProblems; }

    /// The problems in document order, each naming sourceName. The checks
    /// beyond the schema count only for a document the schema accepts.
    std::vector<Problem> finish(const std::string& sourceName);

    // For the checks beyond the schema.
    const std::vector<ElementRecord>& openElements() const { return _open; }
    const VariableCatalogue& variables() const { return _variables; }
    void addElementProblem(const ElementRecord& element, const std::string& message);
    void addAttributeProblem(const ElementRecord& element, const std::string& attributeName,
                             const std::string& message);
    void addTextProblem(const ElementRecord& element, const std::string& message);

private:
    // The parser reports a problem before it tells of the element the
    // problem is about; the next event shows which element that is.
    void resolvePending(const ElementRecord* starting);
    std::string explain(const std::string& message, const ElementRecord* element, const ElementRecord* parent,
                        Place& place);
    const ElementVocabulary* vocabularyOf(const std::string& elementName) const;

    // Places: the parser counts lines and characters, the text is bytes.
    bool textIsByteCompatible() const;
    void indexLines();
    std::size_t offsetOf(Place place);
    Place placeOf(std::size_t offset);
    std::size_t startTagOffset(Place tagEnd);
    Place startTagPlace(Place tagEnd);
    Place attributePlace(Place tagEnd, const std::string& attributeName);

    const std::string& _text;
    DocumentKind _kind;
    const Vocabulary* _vocabulary;
    const VariableCatalogue& _variables;
    std::vector<ElementRecord> _open;
    bool _rootSeen = false;
    bool _tooDeep = false;
    std::vector<std::pair<Place, std::string>> _pending;
    std::vector<Problem> _parserProblems;
    std::vector<Problem> _problems;
    std::vector<std::string> _undeclared;
    Place _namespaceProblem;
    std::vector<std::size_t> _lineStarts;
    bool _indexed = false;
};

/// The checks beyond the schema for the element just opened (the innermost
/// open element), and for the element about to close.
void checkElementStart(DocumentModel& model);
void checkElementEnd(DocumentModel& model);

} // namespace monvalidate
