// Puts what the schema validation found into words the user can act on:
// which attribute or element, what the schema allows there. The wording
// comes from what the parser says happened (the kind of fault, where) and
// from the schema's own vocabulary, never from the parser's message texts,
// which differ between versions of the library; those texts are shown only
// for a fault no explanation here covers.
#pragma once

#include "elements.h"
#include "textplaces.h"

#include <string>
#include <vector>

namespace monvalidate {

/// One fault the schema validation reported.
struct SchemaReport {
    enum class Kind {
        value,               ///< a value its type refuses (valueFault says why)
        attributeNotDeclared,
        attributeMissing,    ///< a required attribute is not there
        elementNotDeclared,
        elementNotAllowed,   ///< a child the content model cannot take
        contentIncomplete,   ///< no content where the model needs some
        textNotAllowed,
        elementsNotAllowed,  ///< elements inside an element of simple type
        unknownNamespace,
        noRootElement,       ///< the text holds no element at all
        other,
    };
    Kind kind = Kind::other;
    ValueFault valueFault = ValueFault::other;
    Place place;
    /// The parser's own words, for a fault not explained here.
    std::string message;
};

class SchemaExplainer {
public:
    SchemaExplainer(TextPlaces& places, const Vocabulary* vocabulary) : _places(places), _vocabulary(vocabulary) {}

    /// The explanation of a report about element (null when none is open),
    /// whose parent is given (null for the root); place is where the
    /// problem is shown, and may be moved to the attribute or child meant.
    /// Empty when the report adds nothing to one explained already.
    std::string explain(const SchemaReport& report, ElementRecord* element, const ElementRecord* parent,
                        Place& place);

private:
    std::string explainValue(const SchemaReport& report, ElementRecord& element, Place& place);
    std::string explainUndeclaredAttribute(const SchemaReport& report, ElementRecord& element, Place& place);
    std::string explainMissingAttribute(const SchemaReport& report, ElementRecord& element, Place& place);
    std::string explainMisfit(const SchemaReport& report, const ElementRecord& element, Place& place);
    const ElementVocabulary* vocabularyOf(const std::string& elementName) const;
    bool isUndeclared(const std::string& elementName) const;

    TextPlaces& _places;
    const Vocabulary* _vocabulary;
    std::vector<std::string> _undeclared;
};

} // namespace monvalidate
