#include "xmlutils.h"

#include "monitoring.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLEntityDecl.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/framework/XMLRecognizer.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/parsers/SAX2XMLReaderImpl.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

using namespace xercesc;

namespace {

// Constructed with the module's static data; XMLPlatformUtils::Initialize
// must still run (MonitoringConfiguration::initialize) before any parse.
DOMTreeErrorReporter gErrorReporter;

// One UTF-8 transcoder for every conversion between the model's strings and
// the DOM's, created once with the platform instead of once per request.
XMLTranscoder* gUtf8Transcoder = nullptr;

XMLTranscoder* utf8Transcoder()
{
    if (gUtf8Transcoder == nullptr && XMLPlatformUtils::fgTransService != nullptr) {
        XMLTransService::Codes result = XMLTransService::Ok;
        gUtf8Transcoder =
            XMLPlatformUtils::fgTransService->makeNewTranscoderFor(XMLRecognizer::UTF_8, result, 16 * 1024);
    }
    return gUtf8Transcoder;
}

// Printer output state, process-wide like the printer itself. Plain pointers
// on purpose: they are released by TerminateXMLUtils while the platform is
// still up, never by static destruction after it may have stopped.
std::u16string* gEncodingName = nullptr;
const XMLFormatter::UnRepFlags gUnRepFlags = XMLFormatter::UnRep_CharRef;
XMLFormatter* gFormatter = nullptr;
bool gSeparateLines = true;
DOMPrintFormatTarget* gFormatTarget = nullptr;

// Requests come from management clients: a document must never make the
// parser open another file or URL. Every external entity and external DTD is
// answered with a source that cannot be opened, so the parse fails as any
// bad document does, whatever the default resolution switch says.
class RefusedInputSource : public InputSource {
public:
    explicit RefusedInputSource(const XMLCh* systemId) : InputSource(systemId) {}
    BinInputStream* makeStream() const override { return nullptr; }
};

class RefusingEntityResolver : public XMLEntityResolver {
public:
    InputSource* resolveEntity(XMLResourceIdentifier* resourceIdentifier) override
    {
        const XMLCh* systemId = resourceIdentifier != nullptr ? resourceIdentifier->getSystemId() : nullptr;
        return new RefusedInputSource(systemId != nullptr ? systemId : u"");
    }
};

RefusingEntityResolver gEntityResolver;

// Internal entities stay allowed (they are harmless and part of XML), but
// their expansion is bounded so that a nested-entity bomb ends in an error
// after a thousand expansions instead of exhausting memory. Predefined
// character entities such as &amp; do not count against it.
class BoundedSecurityManager : public SecurityManager {
public:
    BoundedSecurityManager() { setEntityExpansionLimit(1000); }
};

BoundedSecurityManager gSecurityManager;


// Appends the formatter's bytes to a string (AppendPrinterEscaped).
class StringFormatTarget : public XMLFormatTarget {
public:
    void writeChars(const XMLByte* const toWrite, const XMLSize_t count, XMLFormatter* const) override
    {
        out->append(reinterpret_cast<const char*>(toWrite), count);
    }
    std::string* out = nullptr;
};

StringFormatTarget* gEscapeTarget = nullptr;
XMLFormatter* gEscapeFormatter = nullptr;

std::string widenFailedNarrow(const XMLCh* text)
{
    // Last resort when no transcoder is available or the text cannot be
    // transcoded: keep ASCII, mark the rest.
    std::string narrow;
    for (const XMLCh* p = text; *p != 0; ++p) {
        narrow.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    return narrow;
}

void writeDiagnostic(const char* prefix, const SAXParseException& toCatch)
{
    gErrorReporter.fLastDiagnostic = "line " + std::to_string(toCatch.getLineNumber()) + ", column " +
                                     std::to_string(toCatch.getColumnNumber()) + ": " +
                                     toNarrow(toCatch.getMessage());
    std::cerr << prefix << "\"" << toNarrow(toCatch.getSystemId()) << "\", line " << toCatch.getLineNumber()
              << ", column " << toCatch.getColumnNumber() << "\n   Message: " << toNarrow(toCatch.getMessage())
              << std::endl;
}

} // namespace

// ---------------------------------------------------------------------------
// Error reporter

void DOMTreeErrorReporter::warning(const SAXParseException&) {}

void DOMTreeErrorReporter::error(const SAXParseException& toCatch)
{
    fSawErrors = true;
    writeDiagnostic("Error at file ", toCatch);
}

void DOMTreeErrorReporter::fatalError(const SAXParseException& toCatch)
{
    fSawErrors = true;
    writeDiagnostic("Fatal Error at file ", toCatch);
}

void DOMTreeErrorReporter::resetErrors() {}

DOMTreeErrorReporter* GetXMLErrorReporter() { return &gErrorReporter; }

void resetXMLErrors()
{
    gErrorReporter.fSawErrors = false;
    gErrorReporter.fLastDiagnostic.clear();
}

void resetXMLErrorsForTest() { resetXMLErrors(); }

std::mutex& hostParseMutex()
{
    static std::mutex mutex;
    return mutex;
}

void TerminateXMLUtils()
{
    ReleaseRequestReader();
    delete gEscapeFormatter;
    gEscapeFormatter = nullptr;
    delete gEscapeTarget;
    gEscapeTarget = nullptr;
    delete gFormatter;
    gFormatter = nullptr;
    delete gFormatTarget;
    gFormatTarget = nullptr;
    delete gEncodingName;
    gEncodingName = nullptr;
    delete gUtf8Transcoder;
    gUtf8Transcoder = nullptr;
}

// ---------------------------------------------------------------------------
// Parser

void ConfigurationParser::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                                  const XMLCh* const standaloneStr, const XMLCh* const actualEncStr)
{
    if (versionStr != nullptr && *versionStr != 0 && !XMLString::equals(versionStr, u"1.0")) {
        // A fatal error: the reporter sees it and the scan stops here.
        getScanner()->emitError(XMLErrs::UnsupportedXMLVersion, versionStr);
        return;
    }
    XercesDOMParser::XMLDecl(versionStr, encodingStr, standaloneStr, actualEncStr);
}

void ConfigurationParser::entityDecl(const DTDEntityDecl& entityDecl, const bool isPEDecl, const bool isIgnored)
{
    if (entityDecl.getValueLen() > kMaxEntityValue) {
        getScanner()->emitError(XMLErrs::EntityExpansionLimitExceeded, "1024 characters in one entity");
        return;
    }
    XercesDOMParser::entityDecl(entityDecl, isPEDecl, isIgnored);
}

namespace {

// XML 1.0's Char production, for one UTF-16 unit: surrogates come in pairs
// and are checked by the scanner itself.
bool isXml10Char(XMLCh c)
{
    return c >= 0x20 ? c != 0xFFFE && c != 0xFFFF : c == 0x9 || c == 0xA || c == 0xD;
}

} // namespace

void ConfigurationParser::startElement(const XMLElementDecl& elemDecl, const unsigned int urlId,
                                       const XMLCh* const elemPrefix, const RefVectorOf<XMLAttr>& attrList,
                                       const XMLSize_t attrCount, const bool isEmpty, const bool isRoot)
{
    for (XMLSize_t i = 0; i < attrCount; ++i) {
        for (const XMLCh* c = attrList.elementAt(i)->getValue(); c != nullptr && *c != 0; ++c) {
            if (!isXml10Char(*c)) {
                char code[8];
                std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(*c));
                getScanner()->emitError(XMLErrs::InvalidCharacterInAttrValue, attrList.elementAt(i)->getName(),
                                        XMLText(code));
                return;
            }
        }
    }
    XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty, isRoot);
}

// ---------------------------------------------------------------------------
// Text conversions

XMLText::XMLText(const std::string& text)
{
    // ASCII, by far the most common text, is the same in both forms.
    bool ascii = true;
    for (unsigned char c : text) {
        ascii = ascii && c < 0x80;
    }
    if (ascii) {
        _text.assign(text.begin(), text.end());
        return;
    }
    XMLTranscoder* transcoder = utf8Transcoder();
    if (transcoder != nullptr) {
        try {
            TranscodeFromStr wide(reinterpret_cast<const XMLByte*>(text.data()), text.size(), transcoder);
            _text.assign(wide.str(), wide.length());
            return;
        } catch (const XMLException&) {
            // Not UTF-8: fall through and read the bytes as Latin-1, so that
            // any name the model holds can still be written.
        }
    }
    _text.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        _text[i] = static_cast<unsigned char>(text[i]);
    }
}

XMLText::XMLText(const char* text) : XMLText(std::string(text != nullptr ? text : "")) {}

std::string toNarrow(const XMLCh* text)
{
    if (text == nullptr || *text == 0) {
        return std::string();
    }
    std::string narrow;
    for (const XMLCh* c = text; *c != 0; ++c) {
        if (*c >= 0x80) {
            narrow.clear();
            break;
        }
        narrow.push_back(static_cast<char>(*c));
    }
    if (!narrow.empty()) {
        return narrow;
    }
    XMLTranscoder* transcoder = utf8Transcoder();
    if (transcoder != nullptr) {
        try {
            TranscodeToStr narrow(text, transcoder);
            return std::string(reinterpret_cast<const char*>(narrow.str()), narrow.length());
        } catch (const XMLException&) {
        }
    }
    return widenFailedNarrow(text);
}

// ---------------------------------------------------------------------------
// Environment and parsing

void MonitoringConfiguration::initialize()
{
    try {
        XMLPlatformUtils::Initialize();
    } catch (const XMLException& toCatch) {
        std::cerr << "Error during Xerces-c Initialization.\n"
                  << "  Exception message:" << widenFailedNarrow(toCatch.getMessage()) << std::endl;
        throw MonitoringException(toCatch.getMessage());
    }
    utf8Transcoder();
}

void MonitoringConfiguration::terminate()
{
    TerminateXMLUtils();
    XMLPlatformUtils::Terminate();
}

void ConfigureConfigurationParser(XercesDOMParser& parser, bool validate)
{
    parser.setValidationScheme(validate ? XercesDOMParser::Val_Always : XercesDOMParser::Val_Never);
    parser.setDoNamespaces(false);
    parser.setDoSchema(false);
    parser.setValidationSchemaFullChecking(false);
    parser.setErrorHandler(GetXMLErrorReporter());
    // No external DTD or entity is ever read (see RefusingEntityResolver),
    // and entity references are expanded in place so that the reader sees
    // plain text where it looks for text.
    parser.setLoadExternalDTD(false);
    parser.setDisableDefaultEntityResolution(true);
    parser.setXMLEntityResolver(&gEntityResolver);
    parser.setCreateEntityReferenceNodes(false);
    parser.setSecurityManager(&gSecurityManager);
    // The refusals of ConfigurationParser rely on the scan stopping at the
    // first fatal error (the library's default, stated here).
    parser.setExitOnFirstFatalError(true);
}

void ParseGuarded(const std::function<bool()>& work, const std::function<void()>& discard)
{
    MonitoringException failure;
    DOMTreeErrorReporter* reporter = GetXMLErrorReporter();
    bool failed = false;
    try {
        failed = work();
    } catch (const XMLException& toCatch) {
        std::cerr << "An error occured during parsing\n   Message: " << toNarrow(toCatch.getMessage()) << std::endl;
        failure.setMessage(toCatch.getMessage());
        failed = true;
    } catch (const DOMException& toCatch) {
        std::string text =
            "A DOM error occured during parsing.   DOMException code: " + std::to_string(toCatch.code);
        std::cerr << text << std::endl;
        failure.setMessage(text);
        failed = true;
    } catch (...) {
        std::string text = "An error occured during parsing\n ";
        std::cerr << text << std::endl;
        failure.setMessage(text);
        failed = true;
    }
    if (failed || reporter->getSawErrors()) {
        discard();
        if (!failure.getMessage().empty()) {
            throw failure;
        }
        throw MonitoringException(std::string("Parsing errors occurred"));
    }
}

std::unique_ptr<XercesDOMParser> ParseConfigurationDocument(const InputSource& source, bool validate)
{
    std::unique_ptr<XercesDOMParser> parser;
    ParseGuarded(
        [&] {
            parser = std::make_unique<ConfigurationParser>();
            ConfigureConfigurationParser(*parser, validate);
            parser->parse(source);
            return parser->getErrorCount() > 0;
        },
        [&] { parser.reset(); });
    return parser;
}

void ConfigureConfigurationReader(SAX2XMLReaderImpl& reader)
{
    // The same settings as ConfigureConfigurationParser gives a DOM parser.
    reader.setFeature(XMLUni::fgSAX2CoreValidation, false);
    reader.setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
    reader.setFeature(XMLUni::fgXercesSchema, false);
    reader.setFeature(XMLUni::fgXercesSchemaFullChecking, false);
    reader.setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    reader.setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader.setXMLEntityResolver(&gEntityResolver);
    reader.setProperty(XMLUni::fgXercesSecurityManager, &gSecurityManager);
    reader.setExitOnFirstFatalError(true);
    reader.setErrorHandler(GetXMLErrorReporter());
}

std::string& LoadFailureText()
{
    static std::string* text = new std::string();
    return *text;
}

std::string ParseFailureReason(const std::string& diagnosticBefore, bool sawErrorsBefore, const std::string& failure)
{
    const std::string& diagnostic = GetXMLErrorReporter()->lastDiagnostic();
    if (sawErrorsBefore && diagnostic == diagnosticBefore) {
        return "an earlier document failed to parse" + (diagnostic.empty() ? "" : " (" + diagnostic + ")");
    }
    return diagnostic.empty() ? failure : diagnostic;
}

// ---------------------------------------------------------------------------
// Printer

void DOMPrintFormatTarget::writeChars(const XMLByte* const toWrite, const XMLSize_t count, XMLFormatter* const)
{
    if (ostrm != nullptr) {
        ostrm->write(reinterpret_cast<const char*>(toWrite), static_cast<std::streamsize>(count));
    }
}

void DOMPrintFormatTarget::flush()
{
    if (ostrm != nullptr) {
        ostrm->flush();
    }
}

void SetXMLParameters(const DOMDocument* doc, std::ostream& os, bool separateLines)
{
    const XMLCh* encoding = u"UTF-8";
    if (doc != nullptr && doc->getXmlEncoding() != nullptr && *doc->getXmlEncoding() != 0) {
        encoding = doc->getXmlEncoding();
    }
    // The target and the formatter are kept from one print to the next and
    // only retargeted: building a formatter sets up a transcoder, which is
    // not worth doing for every reply. A new formatter is made only when the
    // encoding changes.
    if (gFormatTarget == nullptr) {
        gFormatTarget = new DOMPrintFormatTarget(&os);
    }
    gFormatTarget->ostrm = &os;
    gSeparateLines = separateLines;
    if (gFormatter == nullptr || gEncodingName == nullptr || *gEncodingName != encoding) {
        XMLFormatter* formatter = new XMLFormatter(encoding, gFormatTarget, XMLFormatter::NoEscapes, gUnRepFlags);
        delete gFormatter;
        gFormatter = formatter;
        if (gEncodingName == nullptr) {
            gEncodingName = new std::u16string(encoding);
        } else {
            *gEncodingName = encoding;
        }
    }
}

void SetXMLParameters(std::ostream& os) { SetXMLParameters(nullptr, os, false); }

void DetachXMLOutput()
{
    if (gFormatTarget != nullptr) {
        gFormatTarget->ostrm = nullptr;
    }
}

namespace {

void lineFeed()
{
    if (gSeparateLines) {
        *gFormatter << XMLFormatter::NoEscapes << u'\n';
    }
}

void writeMarkup(const XMLCh* text)
{
    if (text != nullptr) {
        *gFormatter << XMLFormatter::NoEscapes << text;
    }
}

void writeEscaped(const XMLCh* text, XMLFormatter::EscapeFlags escapes)
{
    if (text != nullptr && *text != 0) {
        gFormatter->formatBuf(text, XMLString::stringLen(text), escapes, gUnRepFlags);
    }
}

// Attribute values with the formatter's attribute escapes. Tabs and line
// breaks are written as character references besides: a reader normalises
// literal ones to blanks, and a value must read back exactly as written.
void writeAttributeValue(XMLFormatter& formatter, const XMLCh* value)
{
    if (value == nullptr) {
        return;
    }
    const XMLCh* segment = value;
    for (const XMLCh* p = value;; ++p) {
        if (*p == 0 || *p == u'\t' || *p == u'\n' || *p == u'\r') {
            if (p > segment) {
                formatter.formatBuf(segment, static_cast<XMLSize_t>(p - segment), XMLFormatter::AttrEscapes,
                                    gUnRepFlags);
            }
            if (*p == 0) {
                return;
            }
            formatter << XMLFormatter::NoEscapes << (*p == u'\t' ? u"&#9;" : (*p == u'\n' ? u"&#10;" : u"&#13;"));
            segment = p + 1;
        }
    }
}

void writeAttributeValue(const XMLCh* value) { writeAttributeValue(*gFormatter, value); }

void writeQuoted(const XMLCh* text)
{
    writeMarkup(u"\"");
    writeMarkup(text);
    writeMarkup(u"\"");
}

// The parser library keeps an element's attributes sorted by name. Saved
// files show the configuration vocabulary's attributes in the order the writer
// sets them (variable before log, value-type before permanent, ...), so that
// order is restored from this table; other attributes follow in map order.
const XMLCh* const kAttributeOrder[] = {
    u"variable",   u"log",       u"every",      u"day-of-week", u"hour",       u"min",
    u"value-type", u"permanent", u"comparison", u"value",       u"low-value",  u"high-value",
    u"inside-outside-range",     u"max-frequency",
};

std::size_t attributeRank(const XMLCh* name)
{
    const std::size_t known = sizeof kAttributeOrder / sizeof kAttributeOrder[0];
    for (std::size_t rank = 0; rank < known; ++rank) {
        if (XMLString::equals(name, kAttributeOrder[rank])) {
            return rank;
        }
    }
    return known;
}

std::vector<const DOMNode*> attributesInPrintOrder(const DOMNode* element)
{
    std::vector<const DOMNode*> ordered;
    const DOMNamedNodeMap* attributes = element->getAttributes();
    XMLSize_t count = attributes != nullptr ? attributes->getLength() : 0;
    ordered.reserve(count);
    for (XMLSize_t i = 0; i < count; ++i) {
        ordered.push_back(attributes->item(i));
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const DOMNode* left, const DOMNode* right) {
        return attributeRank(left->getNodeName()) < attributeRank(right->getNodeName());
    });
    return ordered;
}

// Prints what comes before a node's children; true when its children are to
// be printed next (and printClosing after them).
bool printOpening(const DOMNode* node)
{
    switch (node->getNodeType()) {
    case DOMNode::DOCUMENT_NODE:
        return node->hasChildNodes();
    case DOMNode::ELEMENT_NODE: {
        writeMarkup(u"<");
        writeMarkup(node->getNodeName());
        for (const DOMNode* attribute : attributesInPrintOrder(node)) {
            writeMarkup(u" ");
            writeMarkup(attribute->getNodeName());
            writeMarkup(u"=\"");
            writeAttributeValue(attribute->getNodeValue());
            writeMarkup(u"\"");
        }
        if (!node->hasChildNodes()) {
            writeMarkup(u"/>");
            lineFeed();
            return false;
        }
        writeMarkup(u">");
        lineFeed();
        return true;
    }
    case DOMNode::TEXT_NODE:
        writeEscaped(node->getNodeValue(), XMLFormatter::CharEscapes);
        return false;
    case DOMNode::CDATA_SECTION_NODE:
        writeMarkup(u"<![CDATA[");
        writeMarkup(node->getNodeValue());
        writeMarkup(u"]]>");
        return false;
    case DOMNode::ENTITY_REFERENCE_NODE:
        writeMarkup(u"&");
        writeMarkup(node->getNodeName());
        writeMarkup(u";");
        return false;
    case DOMNode::PROCESSING_INSTRUCTION_NODE: {
        writeMarkup(u"<?");
        writeMarkup(node->getNodeName());
        const XMLCh* data = node->getNodeValue();
        if (data != nullptr && *data != 0) {
            writeMarkup(u" ");
            writeMarkup(data);
        }
        writeMarkup(u"?>");
        return false;
    }
    case DOMNode::COMMENT_NODE:
        writeMarkup(u"<!--");
        writeMarkup(node->getNodeValue());
        writeMarkup(u"-->");
        return false;
    case DOMNode::DOCUMENT_TYPE_NODE: {
        const DOMDocumentType* doctype = static_cast<const DOMDocumentType*>(node);
        writeMarkup(u"<!DOCTYPE ");
        writeMarkup(doctype->getName());
        const XMLCh* publicId = doctype->getPublicId();
        const XMLCh* systemId = doctype->getSystemId();
        const XMLCh* subset = doctype->getInternalSubset();
        if (publicId != nullptr && *publicId != 0) {
            writeMarkup(u" PUBLIC ");
            writeQuoted(publicId);
            if (systemId != nullptr && *systemId != 0) {
                writeMarkup(u" ");
                writeQuoted(systemId);
            }
        } else if (systemId != nullptr && *systemId != 0) {
            writeMarkup(u" SYSTEM ");
            writeQuoted(systemId);
        }
        if (subset != nullptr && *subset != 0) {
            writeMarkup(u"[");
            writeMarkup(subset);
            writeMarkup(u"]");
        }
        writeMarkup(u">");
        return false;
    }
    case DOMNode::ENTITY_NODE: {
        const DOMEntity* entity = static_cast<const DOMEntity*>(node);
        writeMarkup(u"<!ENTITY ");
        writeMarkup(node->getNodeName());
        const XMLCh* publicId = entity->getPublicId();
        const XMLCh* systemId = entity->getSystemId();
        const XMLCh* notation = entity->getNotationName();
        if (publicId != nullptr && *publicId != 0) {
            writeMarkup(u"PUBLIC ");
            writeQuoted(publicId);
        }
        if (systemId != nullptr && *systemId != 0) {
            writeMarkup(u"SYSTEM ");
            writeQuoted(systemId);
        }
        if (notation != nullptr && *notation != 0) {
            writeMarkup(u"NDATA ");
            writeQuoted(notation);
        }
        writeMarkup(u">");
        lineFeed();
        return false;
    }
    default:
        std::cerr << "Unrecognized node type = " << static_cast<int>(node->getNodeType()) << std::endl;
        return false;
    }
}

void printClosing(const DOMNode* node)
{
    if (node->getNodeType() == DOMNode::ELEMENT_NODE) {
        lineFeed();
        writeMarkup(u"</");
        writeMarkup(node->getNodeName());
        writeMarkup(u">");
        lineFeed();
    }
}

// A child of the document node is followed by a line break and a flush.
void afterChildOf(const DOMNode* parent)
{
    if (parent != nullptr && parent->getNodeType() == DOMNode::DOCUMENT_NODE) {
        lineFeed();
        gFormatTarget->flush();
    }
}

// Walks the tree through parent and sibling links instead of recursing, so
// that a deeply nested document cannot exhaust the stack.
void printTree(const DOMNode* root)
{
    const DOMNode* node = root;
    for (;;) {
        if (printOpening(node)) {
            node = node->getFirstChild();
            continue;
        }
        for (;;) {
            if (node == root) {
                return;
            }
            const DOMNode* parent = node->getParentNode();
            afterChildOf(parent);
            if (const DOMNode* next = node->getNextSibling()) {
                node = next;
                break;
            }
            node = parent;
            printClosing(node);
        }
    }
}

} // namespace

std::ostream& operator<<(std::ostream& target, const DOMNode& toWrite)
{
    // Nothing prepared (or the last output already finished): print to target.
    if (gFormatter == nullptr || gFormatTarget->ostrm == nullptr) {
        SetXMLParameters(target);
    }
    printTree(&toWrite);
    return target;
}

namespace {

void printDeclaration(std::ostream& target, const DOMDocument& doc)
{
    if (gFormatter == nullptr) {
        SetXMLParameters(&doc, target, true);
    }
    const XMLCh* version = doc.getXmlVersion();
    writeMarkup(u"<?xml version=\"");
    writeMarkup(version != nullptr && *version != 0 ? version : u"1.0");
    writeMarkup(u"\" encoding=\"");
    writeMarkup(gEncodingName->c_str());
    writeMarkup(u"\"?>\n");
    // The declaration is the document's first child in the printed layout,
    // so it gets the line break that follows every child of the document.
    afterChildOf(&doc);
}

} // namespace

void PrintDocumentWithDeclaration(std::ostream& target, const DOMDocument& doc)
{
    printDeclaration(target, doc);
    printTree(&doc);
}

void PrintDocumentWithDeclaration(std::ostream& target, DOMDocument& doc,
                                  const std::function<DOMNode*(DOMElement* root)>& nextChild)
{
    printDeclaration(target, doc);
    DOMElement* root = doc.getDocumentElement();
    if (root == nullptr) {
        return;
    }
    // The same bytes as printing the whole tree: the root's opening (an
    // empty-element tag when no child comes), each child's subtree, the
    // root's closing, and the line break after a child of the document.
    DOMNode* child = nextChild(root);
    if (printOpening(root)) {
        while (child != nullptr) {
            printTree(child);
            root->removeChild(child);
            child->release();
            child = nextChild(root);
        }
        printClosing(root);
    }
    afterChildOf(&doc);
}

void AppendPrinterEscaped(std::string& out, const std::string& value, bool inAttribute)
{
    if (gEscapeFormatter == nullptr) {
        auto target = std::make_unique<StringFormatTarget>();
        gEscapeFormatter = new XMLFormatter(u"UTF-8", target.get(), XMLFormatter::NoEscapes, gUnRepFlags);
        gEscapeTarget = target.release();
    }
    gEscapeTarget->out = &out;
    XMLText wide(value);
    if (inAttribute) {
        writeAttributeValue(*gEscapeFormatter, wide.get());
    } else if (*wide.get() != 0) {
        gEscapeFormatter->formatBuf(wide.get(), XMLString::stringLen(wide.get()), XMLFormatter::CharEscapes,
                                    gUnRepFlags);
    }
    gEscapeTarget->out = nullptr;
}
