// Strict checking of the monitoring configuration documents: XML Schema
// validation by the parser library's own validator, then the checks a schema
// cannot express. See configvalidator.h.
#include "configvalidator.h"

#include "documentmodel.h"

#include <xercesc/framework/MemBufInputSource.hpp>
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
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLUni.hpp>

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

void collectElement(XSElementDeclaration* element, Vocabulary& words, std::set<XSTypeDefinition*>& seen);

void collectParticle(XSParticle* particle, std::vector<std::string>& children, Vocabulary& words,
                     std::set<XSTypeDefinition*>& seen)
{
    if (particle == nullptr) {
        return;
    }
    if (particle->getTermType() == XSParticle::TERM_ELEMENT) {
        XSElementDeclaration* element = particle->getElementTerm();
        std::string name = narrow(element->getName());
        if (std::find(children.begin(), children.end(), name) == children.end()) {
            children.push_back(name);
        }
        collectElement(element, words, seen);
    } else if (particle->getTermType() == XSParticle::TERM_MODELGROUP) {
        XSParticleList* particles = particle->getModelGroupTerm()->getParticles();
        for (XMLSize_t i = 0; particles != nullptr && i < particles->size(); ++i) {
            collectParticle(particles->elementAt(i), children, words, seen);
        }
    }
}

void collectElement(XSElementDeclaration* element, Vocabulary& words, std::set<XSTypeDefinition*>& seen)
{
    ElementVocabulary& entry = words[narrow(element->getName())];
    XSTypeDefinition* type = element->getTypeDefinition();
    if (type == nullptr || type->getTypeCategory() != XSTypeDefinition::COMPLEX_TYPE || !seen.insert(type).second) {
        return;
    }
    auto* complex = static_cast<XSComplexTypeDefinition*>(type);
    XSAttributeUseList* uses = complex->getAttributeUses();
    for (XMLSize_t i = 0; uses != nullptr && i < uses->size(); ++i) {
        XSAttributeDeclaration* attribute = uses->elementAt(i)->getAttrDeclaration();
        std::string name = narrow(attribute->getName());
        entry.attributes.push_back(name);
        XSSimpleTypeDefinition* valueType = attribute->getTypeDefinition();
        StringList* enumeration = valueType != nullptr ? valueType->getLexicalEnumeration() : nullptr;
        for (XMLSize_t j = 0; enumeration != nullptr && j < enumeration->size(); ++j) {
            entry.words[name].push_back(narrow(enumeration->elementAt(j)));
        }
    }
    std::vector<std::string> children;
    collectParticle(complex->getParticle(), children, words, seen);
    words[narrow(element->getName())].children = children;
}

// What each element of a schema allows, read from the loaded grammar itself,
// so that the messages name the allowed words without a second copy of them.
void collectVocabulary(XSModel* model, Vocabulary& words)
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
    const Vocabulary* vocabulary(DocumentKind kind) const
    {
        return kind == DocumentKind::presetTriggers ? &_presetWords : &_monitorWords;
    }

    SchemaCache(const SchemaCache&) = delete;
    SchemaCache& operator=(const SchemaCache&) = delete;

private:
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
                                         Vocabulary& words)
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
    Vocabulary _monitorWords;
    Vocabulary _presetWords;
    std::string _failure;
};

// Notes the XML declaration's version: only XML 1.0 is the configuration's
// format, while the parser would accept 1.1 with its other rules for names
// and line ends.
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

    /// The declared version when it is not 1.0.
    std::string version;
};

// Hands the parse's events and problems to the document model, with the
// places the parser reports.
class ModelFeeder : public DefaultHandler {
public:
    explicit ModelFeeder(DocumentModel& model) : _model(model) {}

    void setDocumentLocator(const Locator* const locator) override { _locator = locator; }

    void startElement(const XMLCh* const, const XMLCh* const localname, const XMLCh* const,
                      const Attributes& attrs) override
    {
        ElementRecord record;
        record.name = narrow(localname);
        record.tagEnd = here();
        for (XMLSize_t i = 0; i < attrs.getLength(); ++i) {
            record.attributes.emplace_back(narrow(attrs.getLocalName(i)), narrow(attrs.getValue(i)));
        }
        _model.startElement(std::move(record));
    }

    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override { _model.endElement(); }

    void characters(const XMLCh* const chars, const XMLSize_t length) override
    {
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
    void error(const SAXParseException& e) override { addParserProblem(e); }
    void fatalError(const SAXParseException& e) override
    {
        if (!fatal) {
            addParserProblem(e, "not readable as XML: ");
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

    void addParserProblem(const SAXParseException& e, const char* prefix = "")
    {
        _model.addParserProblem(
            Place{static_cast<unsigned long>(e.getLineNumber()), static_cast<unsigned long>(e.getColumnNumber())},
            prefix + narrow(e.getMessage()));
    }

    DocumentModel& _model;
    const Locator* _locator = nullptr;
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
        ModelFeeder handler(model);
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
