// What the checker knows of a document's elements while the parser reads
// them, and of the schema that governs them. Plain data: the parts above
// (the explanations, the checks beyond the schema, the document model) share
// it without knowing the parser library. Internal to the validator.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace monvalidate {

/// A place in the document as the parser counts: 1-based line and column.
struct Place {
    unsigned long line = 0;
    unsigned long column = 0;
    bool operator==(const Place& other) const { return line == other.line && column == other.column; }
};

/// How an element's content is put together, as its schema type declares it.
struct ContentParticle {
    enum class Kind { element, sequence, choice };
    Kind kind = Kind::element;
    std::string name; ///< for an element
    std::size_t minOccurs = 1;
    std::size_t maxOccurs = 1; ///< unbounded for no limit
    std::vector<ContentParticle> parts;

    static constexpr std::size_t unbounded = static_cast<std::size_t>(-1);
};

/// Bounds of a value's type, as the schema writes them; empty when none.
struct ValueLimits {
    std::string minInclusive;
    std::string maxInclusive;
};

/// What a schema allows, per element name, for wording the problems: an
/// element name has one meaning throughout a schema.
struct ElementVocabulary {
    std::vector<std::string> attributes;
    std::vector<std::string> requiredAttributes;
    /// Attribute name -> the words it may take (only for enumerations).
    std::map<std::string, std::vector<std::string>> words;
    /// Attribute name -> bounds of its values; "" for the element's own text.
    std::map<std::string, ValueLimits> limits;
    std::vector<std::string> children;
    /// The content model, when the element holds elements.
    std::shared_ptr<const ContentParticle> content;
};
using Vocabulary = std::map<std::string, ElementVocabulary>;

/// Why the schema refuses a value.
enum class ValueFault { enumeration, pattern, tooLarge, tooSmall, length, other };

/// One open element.
struct ElementRecord {
    std::string name;
    /// The name as written, prefix included.
    std::string qualifiedName;
    std::string namespaceUri;
    std::vector<std::pair<std::string, std::string>> attributes;
    /// Per attribute (same order), its namespace; empty for none.
    std::vector<std::string> attributeUris;
    /// The attributes whose values the schema refuses, in document order.
    std::vector<std::pair<std::string, ValueFault>> attributeFaults;
    /// How many unknown and missing attributes were explained so far.
    std::size_t undeclaredExplained = 0;
    std::size_t missingExplained = 0;
    /// Where its start tag ends: the parser reports the element there.
    Place tagEnd;
    /// Character content, kept only where the module reads text (keepsText).
    std::string text;
    bool hasText = false;
    /// A CDATA section began or ended since the last character content.
    bool interrupted = false;
    /// The content is more than one node: the module reads only the first.
    bool split = false;
    /// Per child name as written (and whether it has no namespace), where
    /// the last such child's start tag ended.
    struct Child {
        std::string qualifiedName;
        std::string name;
        bool inNoNamespace = true;
        Place tagEnd;
    };
    std::vector<Child> lastChildren;
    /// The children in document order, as indexes into lastChildren
    /// (noChild for a name beyond those remembered).
    std::vector<unsigned short> childOrder;
    static constexpr unsigned short noChild = 0xFFFF;

    bool keepsText() const { return name == "email" || name == "seconds"; }
    /// The attribute's value, or null when the element has none of that name.
    const std::string* attribute(const std::string& attributeName) const;
};

/// Where the checks beyond the schema put what they find.
class ProblemSink {
public:
    virtual void addElementProblem(const ElementRecord& element, const std::string& message) = 0;
    virtual void addAttributeProblem(const ElementRecord& element, const std::string& attributeName,
                                     const std::string& message) = 0;
    virtual void addTextProblem(const ElementRecord& element, const std::string& message) = 0;

protected:
    ~ProblemSink() = default;
};

} // namespace monvalidate
