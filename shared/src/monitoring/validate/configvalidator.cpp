// Strict checking of the monitoring configuration documents: XML Schema
// validation by the parser library's own validator, then the checks a schema
// cannot express. See configvalidator.h.
#include "configvalidator.h"

#include "embeddedschemas.h"

#include "documentmodel.h"
#include "schemacache.h"

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
