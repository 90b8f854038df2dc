// What the checker keeps of a parsed document: its elements with their
// places, and the problems found so far. Internal to the validator.
#pragma once

#include "configvalidator.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace monvalidate {

constexpr std::size_t noElement = SIZE_MAX;

/// What a schema allows, per element name, for wording the problems: the
/// names of the elements share one meaning throughout a schema.
struct ElementVocabulary {
    std::vector<std::string> attributes;
    /// Attribute name -> the words it may take (only for enumerations).
    std::map<std::string, std::vector<std::string>> words;
    std::vector<std::string> children;
};
using Vocabulary = std::map<std::string, ElementVocabulary>;

/// One element as the parser reported it.
struct ElementRecord {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    /// Character content, kept only where the module reads text (keepsText).
    std::string text;
    /// Some character content has come.
    bool hasText = false;
    /// A CDATA section began or ended since the last character content.
    bool interrupted = false;
    /// The content is more than one node: the module reads only the first.
    bool split = false;
    /// Where the start tag ends, as the parser counts (1-based).
    unsigned long endLine = 0;
    unsigned long endColumn = 0;
    /// Where the end tag ends (the start tag's end for an empty-element tag).
    unsigned long closeLine = 0;
    unsigned long closeColumn = 0;
    std::size_t parent = noElement;
    std::vector<std::size_t> children;

    bool keepsText() const { return name == "email" || name == "seconds"; }
    /// The attribute's value, or null when the element has none of that name.
    const std::string* attribute(const std::string& attributeName) const;
};

/// A problem before its file name is attached; line 0 when unknown.
struct RawProblem {
    unsigned long line = 0;
    unsigned long column = 0;
    std::string message;
};

class DocumentModel {
public:
    DocumentModel(const std::string& text, const Vocabulary* vocabulary) : _text(text), _vocabulary(vocabulary) {}

    std::vector<ElementRecord> elements;
    /// What the parser and the schema validation reported, with the parser's positions.
    std::vector<RawProblem> parserProblems;
    /// What the checks after the schema found.
    std::vector<RawProblem> problems;

    /// A problem placed at the start tag of an element.
    void addElementProblem(std::size_t element, const std::string& message);
    /// A problem placed at an attribute of an element (at the start tag when it is missing).
    void addAttributeProblem(std::size_t element, const std::string& attributeName, const std::string& message);
    /// A problem placed at the text of an element.
    void addTextProblem(std::size_t element, const std::string& message);

    /// The problems in document order, the parser's messages put in the
    /// document's own terms, each naming sourceName.
    std::vector<Problem> finish(const std::string& sourceName);

private:
    struct Place {
        unsigned long line = 0;
        unsigned long column = 0;
    };
    // Positions: the parser counts lines and characters; the text is bytes.
    bool textIsByteCompatible() const;
    void indexLines();
    std::size_t offsetOf(unsigned long line, unsigned long column);
    Place placeOf(std::size_t offset);
    Place startTagPlace(std::size_t element);
    Place attributePlace(std::size_t element, const std::string& attributeName);
    std::size_t startTagOffset(std::size_t element);
    std::size_t elementAround(unsigned long line, unsigned long column) const;
    std::size_t lastChildNamed(std::size_t parent, const std::string& name) const;
    const ElementVocabulary* vocabularyOf(const std::string& elementName) const;
    /// The parser's message in the document's terms, and the place it is about;
    /// empty when the message only repeats an earlier one.
    std::string explainParserMessage(const std::string& message, std::size_t element, Place& place,
                                     std::vector<std::string>& undeclared);

    const std::string& _text;
    const Vocabulary* _vocabulary;
    std::vector<std::size_t> _lineStarts;
    bool _indexed = false;
};

/// The checks a schema cannot express; run only on a document the schema accepted.
void checkSemantics(DocumentModel& model, const VariableCatalogue& variables);

} // namespace monvalidate
