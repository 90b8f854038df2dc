// How every parser of the configuration layer is set up against what a
// management client may send: only XML 1.0, no file or URL ever opened,
// entity expansion bounded by count and size, the scan stopping at the first
// fatal error.
#pragma once

#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReaderImpl;
XERCES_CPP_NAMESPACE_END

/// The DOM parser of this layer: it refuses what an XML 1.0 file written by
/// this layer could not hold, so that whatever a request or a file brings
/// into the model can be saved and read back, and it bounds what entities
/// may expand to.
///
/// - Only XML 1.0. An XML 1.1 declaration would let control characters
///   (written as character references) into names and addresses; the writer
///   prints them as they are, and an XML 1.0 file holding them never parses
///   again. A document declaring another version fails as any document that
///   does not parse, and so does a character reference in an attribute value
///   to a character that XML 1.0 forbids (the parser library lets those pass
///   in attribute values, while it refuses them in text).
/// - Entity expansion is bounded by size: an internal entity's value may hold
///   at most kMaxEntityValue characters. With the count limit of 1000
///   expansions, a document's expanded text stays below about 1 MiB; without
///   it, one 100 KB entity referenced 999 times stays under the count limit
///   and makes hundreds of megabytes. Small internal entities stay allowed (a
///   document type with an internal subset is legal XML); the writer never
///   produces one.
class ConfigurationParser : public xercesc::XercesDOMParser {
public:
    /// Characters that one internal entity's value may hold.
    static const XMLSize_t kMaxEntityValue = 1024;

    void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                 const XMLCh* const actualEncStr) override;
    void entityDecl(const xercesc::DTDEntityDecl& entityDecl, const bool isPEDecl, const bool isIgnored) override;
    void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                      const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList, const XMLSize_t attrCount,
                      const bool isEmpty, const bool isRoot) override;
};

/// Sets a DOM parser up as every parse of this layer needs it: no
/// validation, no namespaces, no external DTD or entity ever read, entity
/// references expanded in place, bounded entity expansion, errors to
/// reporter, and the scan stopping at the first fatal error.
void ConfigureConfigurationParser(xercesc::XercesDOMParser& parser, bool validate, xercesc::ErrorHandler& reporter);
/// The same settings for a SAX2 reader (content handlers not included).
void ConfigureConfigurationReader(xercesc::SAX2XMLReaderImpl& reader, xercesc::ErrorHandler& reporter);

/// XML 1.0's Char production, for one UTF-16 unit: surrogates come in pairs
/// and are checked by the scanner itself.
inline bool isXml10Char(XMLCh c)
{
    return c >= 0x20 ? c != 0xFFFE && c != 0xFFFF : c == 0x9 || c == 0xA || c == 0xD;
}
