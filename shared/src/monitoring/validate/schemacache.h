// The built-in schemas, loaded once per process, with what the explanations
// need of them; and the parser settings and helpers every strict reader of
// the checker shares. Internal to the validator.
#pragma once

#include "configvalidator.h"
#include "elements.h"

#include <xercesc/framework/XMLGrammarPool.hpp>
#include <xercesc/parsers/SAX2XMLReaderImpl.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/validators/datatype/DatatypeValidator.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace monvalidate {

/// UTF-8 of a parser text.
std::string narrow(const XMLCh* text);

/// The parser settings of a strict check: the built-in grammar only.
void configureStrictReader(xercesc::SAX2XMLReaderImpl& parser);

// Resolves the one include of the schemas (the preset catalogue takes the
// trigger vocabulary from the monitoring schema) to the built-in text, and
// everything else to nothing: neither the schemas nor a checked document
// ever read a file or the network.
class BuiltInOnlyResolver : public xercesc::XMLEntityResolver {
public:
    xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resource) override;

    /// System ids of external entities, DTDs or schemas that were not read.
    std::vector<std::string> refused;
};

// The simple types of each element's attributes, to tell which of an
// element's values the validation refused.
using AttributeTypes = std::map<std::string, std::map<std::string, xercesc::DatatypeValidator*>>;

struct SchemaWords {
    Vocabulary vocabulary;
    AttributeTypes attributeTypes;
};

// The schemas, loaded once per process from the built-in texts into grammar
// pools that are then locked: a locked pool is read-only and serves any
// number of parsers, on any thread. The parser library is started here and
// stopped when the process ends (its start and stop are counted, so the
// module's own use of it is unaffected).
class SchemaCache {
public:
    static SchemaCache& instance()
    {
        static SchemaCache cache;
        return cache;
    }

    /// The pool that holds the grammar of a document kind; null when the
    /// library or the schemas could not be loaded (see failure()).
    xercesc::XMLGrammarPool* pool(DocumentKind kind) const
    {
        return kind == DocumentKind::presetTriggers ? _presets.get() : _monitor.get();
    }
    const std::string& failure() const { return _failure; }
    const Vocabulary* vocabulary(DocumentKind kind) const { return &words(kind).vocabulary; }
    const AttributeTypes& attributeTypes(DocumentKind kind) const { return words(kind).attributeTypes; }

    SchemaCache(const SchemaCache&) = delete;
    SchemaCache& operator=(const SchemaCache&) = delete;

private:
    const SchemaWords& words(DocumentKind kind) const
    {
        return kind == DocumentKind::presetTriggers ? _presetWords : _monitorWords;
    }

    SchemaCache();
    ~SchemaCache();
    std::unique_ptr<xercesc::XMLGrammarPool> load(const char* text, std::size_t size, const XMLCh* systemId,
                                                  SchemaWords& words);

    bool _initialized = false;
    std::unique_ptr<xercesc::XMLGrammarPool> _monitor;
    std::unique_ptr<xercesc::XMLGrammarPool> _presets;
    SchemaWords _monitorWords;
    SchemaWords _presetWords;
    std::string _failure;
};

} // namespace monvalidate
