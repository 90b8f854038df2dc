#include "xmlhardening.h"

#include "xmltext.h"

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/SAX2XMLReaderImpl.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

#include <cstdio>

using namespace xercesc;

namespace {

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

// Internal entities stay allowed (they are harmless and part of XML), but
// their expansion is bounded so that a nested-entity bomb ends in an error
// after a thousand expansions instead of exhausting memory. Predefined
// character entities such as &amp; do not count against it.
class BoundedSecurityManager : public SecurityManager {
public:
    BoundedSecurityManager() { setEntityExpansionLimit(1000); }
};

// Neither holds state that a parse changes, so every parser shares them.
RefusingEntityResolver gEntityResolver;
BoundedSecurityManager gSecurityManager;

} // namespace

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

void ConfigureConfigurationParser(XercesDOMParser& parser, bool validate, ErrorHandler& reporter)
{
    parser.setValidationScheme(validate ? XercesDOMParser::Val_Always : XercesDOMParser::Val_Never);
    parser.setDoNamespaces(false);
    parser.setDoSchema(false);
    parser.setValidationSchemaFullChecking(false);
    parser.setErrorHandler(&reporter);
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

void ConfigureConfigurationReader(SAX2XMLReaderImpl& reader, ErrorHandler& reporter)
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
    reader.setErrorHandler(&reporter);
}
