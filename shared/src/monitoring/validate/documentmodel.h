// What the checker follows of a document while the parser reads it: the
// elements open at the moment, and the problems found so far, placed and
// worded for the user. Only the open elements are kept, so a large document
// costs no more memory than its text. Internal to the validator.
#pragma once

#include "configvalidator.h"
#include "elements.h"
#include "schemaexplainer.h"
#include "textplaces.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace monvalidate {

class DocumentModel : private ProblemSink {
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
    /// What the schema validation reported, where it stood.
    void addSchemaReport(SchemaReport report);
    /// A problem of the document as a whole, already worded.
    void addDocumentProblem(Place place, const std::string& message);

    /// The parse should stop: too many problems, or nested too deep.
    bool stopped() const { return _tooDeep || _parserProblems.size() + _problems.size() >= maxProblems; }

    /// The problems in document order, each naming sourceName. The checks
    /// beyond the schema count only for a document the schema accepts.
    std::vector<Problem> finish(const std::string& sourceName);

private:
    // The parser reports a problem before it tells of the element the
    // problem is about; the next event shows which element that is.
    void resolvePending(ElementRecord* starting);
    void rememberChild(const ElementRecord& element);

    void addElementProblem(const ElementRecord& element, const std::string& message) override;
    void addAttributeProblem(const ElementRecord& element, const std::string& attributeName,
                             const std::string& message) override;
    void addTextProblem(const ElementRecord& element, const std::string& message) override;

    DocumentKind _kind;
    const VariableCatalogue& _variables;
    TextPlaces _places;
    SchemaExplainer _explainer;
    std::vector<ElementRecord> _open;
    bool _rootSeen = false;
    bool _tooDeep = false;
    std::vector<SchemaReport> _pending;
    std::vector<Problem> _parserProblems;
    std::vector<Problem> _problems;
    Place _namespaceProblem;
};

} // namespace monvalidate
