// Strict checking of the monitoring configuration documents: XML Schema
// validation by the parser library's own validator, then the checks a schema
// cannot express. See configvalidator.h.
#include "configvalidator.h"

#include "documentmodel.h"

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

namespace schemas {
extern const char monitor_config_xsd[];
extern const std::size_t monitor_config_xsdSize;
extern const char preset_triggers_xsd[];
extern const std::size_t preset_triggers_xsdSize;
} // namespace schemas

using namespace xercesc;

namespace {

const XMLCh monitorSchemaId[] = u"monitor-config.xsd";
const XMLCh presetSchemaId[] = u"preset-triggers.xsd";

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

bool endsWith(const std::u16string& text, const std::u16string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Resolves the one include of the schemas (the preset catalogue takes the
// trigger vocabulary from the monitoring schema) to the built-in text, and
// everything else to nothing: neither the schemas nor a checked document
// ever read a file or the network.
class BuiltInOnlyResolver : public XMLEntityResolver {
public:
    InputSource* resolveEntity(XMLResourceIdentifier* resource) override
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

    /// System ids of external entities, DTDs or schemas that were not read.
    std::vector<std::string> refused;
};

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

// The simple types of each element's attributes, to tell which of an
// element's values the validation refused.
using AttributeTypes = std::map<std::string, std::map<std::string, DatatypeValidator*>>;

struct SchemaWords {
    Vocabulary vocabulary;
    AttributeTypes attributeTypes;
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
    XMLGrammarPool* pool(DocumentKind kind) const
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

    SchemaCache()
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

    ~SchemaCache()
    {
        _monitor.reset();
        _presets.reset();
        if (_initialized) {
            XMLPlatformUtils::Terminate();
        }
    }

    std::unique_ptr<XMLGrammarPool> load(const char* text, std::size_t size, const XMLCh* systemId,
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

    bool _initialized = false;
    std::unique_ptr<XMLGrammarPool> _monitor;
    std::unique_ptr<XMLGrammarPool> _presets;
    SchemaWords _monitorWords;
    SchemaWords _presetWords;
    std::string _failure;
};

// What the validation reports, in the checker's terms: the kind of fault
// from the code the parser gives with it (a validity code, or the code of
// the datatype's exception for a refused value), never from its wording.
SchemaReport::Kind kindOfValidityCode(unsigned int code)
{
    switch (code) {
    case XMLValid::ElementNotDefined:
        return SchemaReport::Kind::elementNotDeclared;
    case XMLValid::AttNotDefinedForElement:
        return SchemaReport::Kind::attributeNotDeclared;
    case XMLValid::RequiredAttrNotProvided:
        return SchemaReport::Kind::attributeMissing;
    case XMLValid::ElementNotValidForContent:
        return SchemaReport::Kind::elementNotAllowed;
    case XMLValid::EmptyNotValidForContent:
        return SchemaReport::Kind::contentIncomplete;
    case XMLValid::NoCharDataInCM:
        return SchemaReport::Kind::textNotAllowed;
    case XMLValid::SimpleTypeHasChild:
        return SchemaReport::Kind::elementsNotAllowed;
    case XMLValid::GrammarNotFound:
        return SchemaReport::Kind::unknownNamespace;
    case XMLValid::DatatypeError:
        return SchemaReport::Kind::value;
    default:
        return SchemaReport::Kind::other;
    }
}

ValueFault faultOfDatatypeCode(unsigned int code)
{
    switch (code) {
    case XMLExcepts::VALUE_NotIn_Enumeration:
        return ValueFault::enumeration;
    case XMLExcepts::VALUE_NotMatch_Pattern:
        return ValueFault::pattern;
    case XMLExcepts::VALUE_exceed_maxIncl:
        return ValueFault::tooLarge;
    case XMLExcepts::VALUE_exceed_minIncl:
        return ValueFault::tooSmall;
    case XMLExcepts::VALUE_LT_minLen:
        return ValueFault::length;
    default:
        return ValueFault::other;
    }
}

SchemaReport reportOf(unsigned int code, const XMLCh* domain)
{
    SchemaReport report;
    if (domain == nullptr) {
        return report;
    }
    if (XMLString::equals(domain, XMLUni::fgValidityDomain)) {
        report.kind = kindOfValidityCode(code);
    } else if (XMLString::equals(domain, XMLUni::fgExceptDomain)) {
        report.kind = SchemaReport::Kind::value;
        report.valueFault = faultOfDatatypeCode(code);
    } else if (XMLString::equals(domain, XMLUni::fgXMLErrDomain) && code == XMLErrs::InvalidDocumentStructure) {
        report.kind = SchemaReport::Kind::noRootElement;
    }
    return report;
}

// Notes the XML declaration's version: only XML 1.0 is the configuration's
// format, while the parser would accept 1.1 with its other rules for names
// and line ends. Notes the code of each fault the parser reports, which the
// error handler's exception does not carry.
class StrictReader : public SAX2XMLReaderImpl {
public:
    explicit StrictReader(XMLGrammarPool* pool) : SAX2XMLReaderImpl(XMLPlatformUtils::fgMemoryManager, pool) {}

    void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                 const XMLCh* const actualEncodingStr) override
    {
        if (versionStr != nullptr && !XMLString::equals(versionStr, u"1.0")) {
            version = narrow(versionStr);
        }
        SAX2XMLReaderImpl::XMLDecl(versionStr, encodingStr, standaloneStr, actualEncodingStr);
    }

    void error(const unsigned int errCode, const XMLCh* const errDomain, const XMLErrorReporter::ErrTypes type,
               const XMLCh* const errorText, const XMLCh* const systemId, const XMLCh* const publicId,
               const XMLFileLoc lineNum, const XMLFileLoc colNum) override
    {
        lastReport = reportOf(errCode, errDomain);
        SAX2XMLReaderImpl::error(errCode, errDomain, type, errorText, systemId, publicId, lineNum, colNum);
    }

    /// The declared version when it is not 1.0.
    std::string version;
    /// The kind of the fault being reported to the error handler.
    SchemaReport lastReport;
};

// Which of an element's attribute values their types refuse, and why: the
// datatype's own check, on the value as the validation saw it.
std::vector<std::pair<std::string, ValueFault>> refusedValues(const std::string& elementName, const Attributes& attrs,
                                                              const AttributeTypes& types)
{
    std::vector<std::pair<std::string, ValueFault>> faults;
    auto ofElement = types.find(elementName);
    if (ofElement == types.end()) {
        return faults;
    }
    for (XMLSize_t i = 0; i < attrs.getLength(); ++i) {
        if (attrs.getURI(i) != nullptr && *attrs.getURI(i) != 0) {
            continue;
        }
        const std::string name = narrow(attrs.getLocalName(i));
        auto type = ofElement->second.find(name);
        if (type == ofElement->second.end() || type->second == nullptr) {
            continue;
        }
        DatatypeValidator* validator = type->second;
        std::u16string value = attrs.getValue(i);
        value.push_back(0);
        if (validator->getWSFacet() == DatatypeValidator::COLLAPSE) {
            XMLString::collapseWS(&value[0]);
        } else if (validator->getWSFacet() == DatatypeValidator::REPLACE) {
            XMLString::replaceWS(&value[0]);
        }
        try {
            validator->validate(value.c_str(), nullptr, XMLPlatformUtils::fgMemoryManager);
        } catch (const XMLException& e) {
            faults.emplace_back(name, faultOfDatatypeCode(e.getCode()));
        }
    }
    return faults;
}

// Hands the parse's events and problems to the document model, with the
// places the parser reports.
class ModelFeeder : public DefaultHandler {
public:
    ModelFeeder(DocumentModel& model, const StrictReader& reader, const AttributeTypes& types)
        : _model(model), _reader(reader), _types(types)
    {
    }

    void setDocumentLocator(const Locator* const locator) override { _locator = locator; }

    void startElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname,
                      const Attributes& attrs) override
    {
        ElementRecord record;
        record.name = narrow(localname);
        record.qualifiedName = narrow(qname);
        record.namespaceUri = narrow(uri);
        record.tagEnd = here();
        for (XMLSize_t i = 0; i < attrs.getLength(); ++i) {
            record.attributes.emplace_back(narrow(attrs.getLocalName(i)), narrow(attrs.getValue(i)));
            record.attributeUris.push_back(narrow(attrs.getURI(i)));
        }
        if (_refusedValues) {
            record.attributeFaults = refusedValues(record.name, attrs, _types);
        }
        _refusedValues = false;
        _model.startElement(std::move(record));
    }

    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override
    {
        _refusedValues = false;
        _model.endElement();
    }

    void characters(const XMLCh* const chars, const XMLSize_t length) override
    {
        _refusedValues = false;
        _model.characters(_model.wantsText() ? narrow(std::u16string(chars, length).c_str()) : std::string());
    }

    // The module reads the text of an address or a period as the first node
    // inside its element: a comment or processing instruction anywhere in
    // it, or a CDATA section beside other text, makes that node something
    // else than the whole text.
    void processingInstruction(const XMLCh* const, const XMLCh* const) override { _model.splitText(); }
    void comment(const XMLCh* const, const XMLSize_t) override { _model.splitText(); }
    void startCDATA() override { _model.interruptText(); }
    void endCDATA() override { _model.interruptText(); }

    void startDTD(const XMLCh* const, const XMLCh* const, const XMLCh* const systemId) override
    {
        dtdSystemId = narrow(systemId);
        _model.addDocumentProblem(
            here(), "a document type declaration does not belong in a configuration document; remove it");
    }

    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { addSchemaReport(e); }
    void fatalError(const SAXParseException& e) override
    {
        if (!fatal) {
            addSchemaReport(e, "not readable as XML: ");
        }
        fatal = true;
    }

    /// The document is not well-formed; the parse cannot go on.
    bool fatal = false;
    /// The external subset named by a document type declaration, if any.
    std::string dtdSystemId;

private:
    Place here() const
    {
        if (_locator == nullptr) {
            return Place{};
        }
        return Place{static_cast<unsigned long>(_locator->getLineNumber()),
                     static_cast<unsigned long>(_locator->getColumnNumber())};
    }

    void addSchemaReport(const SAXParseException& e, const char* prefix = "")
    {
        SchemaReport report = _reader.lastReport;
        report.place =
            Place{static_cast<unsigned long>(e.getLineNumber()), static_cast<unsigned long>(e.getColumnNumber())};
        report.message = prefix + narrow(e.getMessage());
        _refusedValues = _refusedValues || report.kind == SchemaReport::Kind::value;
        _model.addSchemaReport(std::move(report));
    }

    DocumentModel& _model;
    const StrictReader& _reader;
    const AttributeTypes& _types;
    const Locator* _locator = nullptr;
    /// A value was refused since the last event: the next start tag holds it.
    bool _refusedValues = false;
};

// Runs the schema validation of one text; fills the model with the elements
// and the parser's problems.
void parseStrictly(const std::string& text, DocumentKind kind, const std::string& sourceName, DocumentModel& model)
{
    SchemaCache& cache = SchemaCache::instance();
    XMLGrammarPool* pool = cache.pool(kind);
    if (pool == nullptr) {
        model.addDocumentProblem(Place{}, cache.failure());
        return;
    }
    try {
        StrictReader parser(pool);
        configureStrictReader(parser);
        parser.setFeature(XMLUni::fgXercesUseCachedGrammarInParse, true);
        ModelFeeder handler(model, parser, cache.attributeTypes(kind));
        BuiltInOnlyResolver resolver;
        // Entity expansion is bounded. Configuration documents declare no
        // entities (a document type is a problem in itself), so a low limit
        // only cuts short an expansion bomb.
        SecurityManager security;
        security.setEntityExpansionLimit(1000);
        parser.setProperty(XMLUni::fgXercesSecurityManager, &security);
        parser.setContentHandler(&handler);
        parser.setErrorHandler(&handler);
        parser.setLexicalHandler(&handler);
        parser.setXMLEntityResolver(&resolver);
        std::u16string systemId;
        for (unsigned char c : sourceName) {
            systemId += static_cast<char16_t>(c < 0x80 ? c : '?');
        }
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), systemId.c_str(),
                                 false);
        // Step by step, so that a document full of faults stops at the
        // model's limit instead of collecting them all.
        XMLPScanToken token;
        bool going = parser.parseFirst(source, token);
        while (going && !handler.fatal && !model.stopped()) {
            going = parser.parseNext(token);
        }
        if (going && !handler.fatal) {
            parser.parseReset(token); // stopped early: the scanner lets the document go
        }
        if (!parser.version.empty()) {
            model.addDocumentProblem(Place{1, 1}, "XML version " + parser.version +
                                                      " is not supported; declare version=\"1.0\"");
        }
        for (const std::string& refused : resolver.refused) {
            if (refused == handler.dtdSystemId) {
                continue; // the document type declaration is reported already
            }
            model.addDocumentProblem(Place{}, "external entity \"" + refused + "\" is not read; remove it");
        }
    } catch (const OutOfMemoryException&) {
        model.addDocumentProblem(Place{}, "out of memory while reading the document");
    } catch (const XMLException& e) {
        model.addDocumentProblem(Place{}, "the document could not be read: " + narrow(e.getMessage()));
    } catch (const SAXException& e) {
        model.addDocumentProblem(Place{}, "the document could not be read: " + narrow(e.getMessage()));
    }
}

std::string describeErrno(int error)
{
    char buffer[256];
    // The GNU strerror_r returns its text, which may not be in buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? text : "unknown error";
}

// Reads a whole regular file without ever blocking: a FIFO or a device given
// by mistake is refused at once instead of waiting for a writer.
bool readDocumentFile(const std::string& path, std::string& content, std::string& failure)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure = "cannot open: " + describeErrno(errno);
        return false;
    }
    struct stat status {};
    bool ok = true;
    if (::fstat(fd, &status) != 0) {
        failure = "cannot read: " + describeErrno(errno);
        ok = false;
    } else if (!S_ISREG(status.st_mode)) {
        failure = S_ISDIR(status.st_mode) ? "is a directory, not a configuration file"
                                          : "is not a regular file (a pipe, socket or device is not read)";
        ok = false;
    } else if (static_cast<unsigned long long>(status.st_size) > maxDocumentSize) {
        failure = "is " + std::to_string(status.st_size) + " bytes, larger than the " +
                  std::to_string(maxDocumentSize / (1024 * 1024)) + " MiB a configuration document may have";
        ok = false;
    }
    if (ok) {
        content.clear();
        content.reserve(static_cast<std::size_t>(status.st_size));
        char buffer[64 * 1024];
        for (;;) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                content.append(buffer, static_cast<std::size_t>(got));
                if (content.size() > maxDocumentSize) {
                    failure = "grew beyond the size limit while being read";
                    ok = false;
                    break;
                }
            } else if (got == 0) {
                break;
            } else if (errno != EINTR) {
                failure = "cannot read: " + describeErrno(errno);
                ok = false;
                break;
            }
        }
    }
    ::close(fd);
    return ok;
}

} // namespace

std::vector<Problem> validateText(const std::string& text, DocumentKind kind, const VariableCatalogue& variables,
                                  const std::string& sourceName)
{
    try {
        DocumentModel model(text, kind, SchemaCache::instance().vocabulary(kind), variables);
        parseStrictly(text, kind, sourceName, model);
        return model.finish(sourceName);
    } catch (const std::bad_alloc&) {
        return {Problem{sourceName, 0, 0, "out of memory while checking the document"}};
    }
}

std::vector<Problem> validateFile(const std::string& path, DocumentKind kind, const VariableCatalogue& variables)
{
    std::string content;
    std::string failure;
    if (!readDocumentFile(path, content, failure)) {
        return {Problem{path, 0, 0, failure}};
    }
    return validateText(content, kind, variables, path);
}

VariableKind kindFromDefinition(const std::string& definition)
{
    auto startsWithWord = [](const std::string& text, const std::string& word) {
        return text.compare(0, word.size(), word) == 0 &&
               (text.size() == word.size() || text[word.size()] == ',' || text[word.size()] == ':');
    };
    // A definition may start with the variable's name ("cpu: number, ...").
    std::string::size_type colon = definition.find(": ");
    for (const std::string& text : {definition, colon == std::string::npos ? std::string() : definition.substr(colon + 2)}) {
        if (startsWithWord(text, "number")) {
            return VariableKind(VariableValues::numbers);
        }
        if (startsWithWord(text, "text")) {
            return VariableKind(VariableValues::text);
        }
    }
    return VariableKind(VariableValues::either);
}

std::string formatProblem(const Problem& problem)
{
    std::string text = problem.file + ":";
    if (problem.line != 0) {
        text += std::to_string(problem.line) + ":";
        if (problem.column != 0) {
            text += std::to_string(problem.column) + ":";
        }
    }
    return text + " " + problem.message;
}

const std::string& schemaText(DocumentKind kind)
{
    static const std::string monitor(schemas::monitor_config_xsd, schemas::monitor_config_xsdSize);
    static const std::string presets(schemas::preset_triggers_xsd, schemas::preset_triggers_xsdSize);
    return kind == DocumentKind::presetTriggers ? presets : monitor;
}

} // namespace monvalidate
