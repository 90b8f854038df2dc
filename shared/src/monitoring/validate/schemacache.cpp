// Loading the built-in schemas and reading what the explanations need from
// them. See schemacache.h.
#include "schemacache.h"

#include "embeddedschemas.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/framework/XMLValidityCodes.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/framework/XMLGrammarPoolImpl.hpp>
#include <xercesc/framework/psvi/XSAttributeDeclaration.hpp>
#include <xercesc/framework/psvi/XSAttributeUse.hpp>
#include <xercesc/framework/psvi/XSComplexTypeDefinition.hpp>
#include <xercesc/framework/psvi/XSElementDeclaration.hpp>
#include <xercesc/framework/psvi/XSModel.hpp>
#include <xercesc/framework/psvi/XSModelGroup.hpp>
#include <xercesc/framework/psvi/XSNamedMap.hpp>
#include <xercesc/framework/psvi/XSParticle.hpp>
#include <xercesc/framework/psvi/XSSimpleTypeDefinition.hpp>
#include <xercesc/parsers/SAX2XMLReaderImpl.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLExceptMsgs.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/datatype/DatatypeValidator.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>

namespace monvalidate {

using namespace xercesc;

namespace {

const XMLCh monitorSchemaId[] = u"monitor-config.xsd";
const XMLCh presetSchemaId[] = u"preset-triggers.xsd";


bool endsWith(const std::u16string& text, const std::u16string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}



// Collects the messages of loading a built-in schema; any is a build fault.
class SchemaLoadErrors : public ErrorHandler {
public:
    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { add(e); }
    void fatalError(const SAXParseException& e) override { add(e); }
    void resetErrors() override {}
    std::string text;

private:
    void add(const SAXParseException& e)
    {
        text += narrow(e.getSystemId()) + ":" + std::to_string(e.getLineNumber()) + ": " + narrow(e.getMessage()) +
                "; ";
    }
};




void collectElement(XSElementDeclaration* element, SchemaWords& words, std::set<XSTypeDefinition*>& seen);

// Collects the element names of a content model, and the model itself.
bool collectParticle(XSParticle* particle, std::vector<std::string>& children, SchemaWords& words,
                     std::set<XSTypeDefinition*>& seen, ContentParticle& model)
{
    if (particle == nullptr) {
        return false;
    }
    model.minOccurs = particle->getMinOccurs();
    model.maxOccurs = particle->getMaxOccursUnbounded() ? ContentParticle::unbounded : particle->getMaxOccurs();
    if (particle->getTermType() == XSParticle::TERM_ELEMENT) {
        XSElementDeclaration* element = particle->getElementTerm();
        std::string name = narrow(element->getName());
        if (std::find(children.begin(), children.end(), name) == children.end()) {
            children.push_back(name);
        }
        model.kind = ContentParticle::Kind::element;
        model.name = name;
        collectElement(element, words, seen);
        return true;
    }
    if (particle->getTermType() == XSParticle::TERM_MODELGROUP) {
        XSModelGroup* group = particle->getModelGroupTerm();
        model.kind = group->getCompositor() == XSModelGroup::COMPOSITOR_CHOICE ? ContentParticle::Kind::choice
                                                                              : ContentParticle::Kind::sequence;
        XSParticleList* particles = group->getParticles();
        for (XMLSize_t i = 0; particles != nullptr && i < particles->size(); ++i) {
            ContentParticle part;
            if (collectParticle(particles->elementAt(i), children, words, seen, part)) {
                model.parts.push_back(std::move(part));
            }
        }
        return true;
    }
    return false;
}

// The bounds of a simple type, its own or those it inherits.
ValueLimits limitsOf(XSSimpleTypeDefinition* type)
{
    ValueLimits limits;
    for (int level = 0; type != nullptr && level < 32; ++level) {
        if (limits.minInclusive.empty()) {
            limits.minInclusive = narrow(type->getLexicalFacetValue(XSSimpleTypeDefinition::FACET_MININCLUSIVE));
        }
        if (limits.maxInclusive.empty()) {
            limits.maxInclusive = narrow(type->getLexicalFacetValue(XSSimpleTypeDefinition::FACET_MAXINCLUSIVE));
        }
        XSTypeDefinition* base = type->getBaseType();
        if (base == nullptr || base == type || base->getTypeCategory() != XSTypeDefinition::SIMPLE_TYPE) {
            break;
        }
        type = static_cast<XSSimpleTypeDefinition*>(base);
    }
    return limits;
}

void collectElement(XSElementDeclaration* element, SchemaWords& words, std::set<XSTypeDefinition*>& seen)
{
    const std::string elementName = narrow(element->getName());
    ElementVocabulary& entry = words.vocabulary[elementName];
    XSTypeDefinition* type = element->getTypeDefinition();
    if (type != nullptr && type->getTypeCategory() == XSTypeDefinition::SIMPLE_TYPE) {
        entry.limits[""] = limitsOf(static_cast<XSSimpleTypeDefinition*>(type));
        return;
    }
    if (type == nullptr || type->getTypeCategory() != XSTypeDefinition::COMPLEX_TYPE || !seen.insert(type).second) {
        return;
    }
    auto* complex = static_cast<XSComplexTypeDefinition*>(type);
    XSAttributeUseList* uses = complex->getAttributeUses();
    for (XMLSize_t i = 0; uses != nullptr && i < uses->size(); ++i) {
        XSAttributeDeclaration* attribute = uses->elementAt(i)->getAttrDeclaration();
        std::string name = narrow(attribute->getName());
        entry.attributes.push_back(name);
        if (uses->elementAt(i)->getRequired()) {
            entry.requiredAttributes.push_back(name);
        }
        XSSimpleTypeDefinition* valueType = attribute->getTypeDefinition();
        if (valueType != nullptr) {
            entry.limits[name] = limitsOf(valueType);
            words.attributeTypes[elementName][name] = valueType->getDatatypeValidator();
        }
        StringList* enumeration = valueType != nullptr ? valueType->getLexicalEnumeration() : nullptr;
        for (XMLSize_t j = 0; enumeration != nullptr && j < enumeration->size(); ++j) {
            entry.words[name].push_back(narrow(enumeration->elementAt(j)));
        }
    }
    std::vector<std::string> children;
    auto model = std::make_shared<ContentParticle>();
    bool hasModel = collectParticle(complex->getParticle(), children, words, seen, *model);
    ElementVocabulary& collected = words.vocabulary[elementName];
    collected.children = children;
    if (hasModel) {
        collected.content = model;
    }
}

// What each element of a schema allows, read from the loaded grammar itself,
// so that the messages name the allowed words without a second copy of them.
void collectVocabulary(XSModel* model, SchemaWords& words)
{
    if (model == nullptr) {
        return;
    }
    std::set<XSTypeDefinition*> seen;
    XSNamedMap<XSObject>* globals = model->getComponents(XSConstants::ELEMENT_DECLARATION);
    for (XMLSize_t i = 0; globals != nullptr && i < globals->getLength(); ++i) {
        collectElement(static_cast<XSElementDeclaration*>(globals->item(i)), words, seen);
    }
}

} // namespace

std::string narrow(const XMLCh* text)
{
    if (text == nullptr || *text == 0) {
        return std::string();
    }
    try {
        TranscodeToStr utf8(text, "UTF-8");
        return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
    } catch (const XMLException&) {
        // A text the transcoder refuses (a lone surrogate) is shown as far
        // as it is plain ASCII; the message stays readable.
        std::string result;
        for (const XMLCh* c = text; *c != 0; ++c) {
            result += *c < 0x80 ? static_cast<char>(*c) : '?';
        }
        return result;
    }
}

void configureStrictReader(SAX2XMLReaderImpl& parser)
{
    parser.setFeature(XMLUni::fgSAX2CoreNameSpaces, true);
    parser.setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
    parser.setFeature(XMLUni::fgSAX2CoreValidation, true);
    parser.setFeature(XMLUni::fgXercesDynamic, false);
    parser.setFeature(XMLUni::fgXercesSchema, true);
    parser.setFeature(XMLUni::fgXercesSchemaFullChecking, true);
    parser.setFeature(XMLUni::fgXercesIdentityConstraintChecking, true);
    // Only the built-in grammar counts: schema hints in a document
    // (xsi:schemaLocation) are neither followed nor cached.
    parser.setFeature(XMLUni::fgXercesLoadSchema, false);
    parser.setFeature(XMLUni::fgXercesCacheGrammarFromParse, false);
    parser.setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    parser.setFeature(XMLUni::fgXercesSkipDTDValidation, true);
    parser.setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    parser.setFeature(XMLUni::fgXercesContinueAfterFatalError, false);
    parser.setFeature(XMLUni::fgXercesValidationErrorAsFatal, false);
}

InputSource* BuiltInOnlyResolver::resolveEntity(XMLResourceIdentifier* resource)
{
    const XMLCh* systemId = resource->getSystemId();
    std::u16string id = systemId != nullptr ? std::u16string(systemId) : std::u16string();
    if (resource->getResourceIdentifierType() == XMLResourceIdentifier::SchemaInclude &&
        (id == monitorSchemaId || endsWith(id, u"/monitor-config.xsd"))) {
        return new MemBufInputSource(reinterpret_cast<const XMLByte*>(schemas::monitor_config_xsd),
                                     schemas::monitor_config_xsdSize, monitorSchemaId, false);
    }
    refused.push_back(narrow(systemId));
    return new MemBufInputSource(reinterpret_cast<const XMLByte*>(""), 0, systemId != nullptr ? systemId : u"",
                                 false);
}

SchemaCache::SchemaCache()
{
    try {
        XMLPlatformUtils::Initialize();
        _initialized = true;
        _monitor = load(schemas::monitor_config_xsd, schemas::monitor_config_xsdSize, monitorSchemaId,
                        _monitorWords);
        _presets = load(schemas::preset_triggers_xsd, schemas::preset_triggers_xsdSize, presetSchemaId,
                        _presetWords);
    } catch (const XMLException& e) {
        _failure = "the XML library could not start: " + narrow(e.getMessage());
    } catch (const OutOfMemoryException&) {
        _failure = "out of memory while loading the schemas";
    }
    if (_monitor == nullptr || _presets == nullptr) {
        _monitor.reset();
        _presets.reset();
        if (_failure.empty()) {
            _failure = "built-in schemas could not be loaded";
        }
    }
}

SchemaCache::~SchemaCache()
{
    _monitor.reset();
    _presets.reset();
    if (_initialized) {
        XMLPlatformUtils::Terminate();
    }
}

std::unique_ptr<XMLGrammarPool> SchemaCache::load(const char* text, std::size_t size, const XMLCh* systemId,
                                              SchemaWords& words)
{
    auto pool = std::make_unique<XMLGrammarPoolImpl>(XMLPlatformUtils::fgMemoryManager);
    {
        SAX2XMLReaderImpl parser(XMLPlatformUtils::fgMemoryManager, pool.get());
        configureStrictReader(parser);
        SchemaLoadErrors errors;
        BuiltInOnlyResolver resolver;
        parser.setErrorHandler(&errors);
        parser.setXMLEntityResolver(&resolver);
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(text), size, systemId, false);
        Grammar* grammar = parser.loadGrammar(source, Grammar::SchemaGrammarType, true);
        if (grammar == nullptr || !errors.text.empty()) {
            _failure = "built-in schema " + narrow(systemId) + " is faulty: " + errors.text;
            return nullptr;
        }
    }
    pool->lockPool();
    bool changed = false;
    collectVocabulary(pool->getXSModel(changed), words);
    return pool;
}

} // namespace monvalidate
