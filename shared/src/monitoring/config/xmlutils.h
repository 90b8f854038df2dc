// What every XML operation of the configuration layer shares: the
// process-wide parser error reporter, the text conversions between the
// model's narrow strings and the parser's wide ones, and the DOM printer with
// its output state (prepared by SetXMLParameters, used by operator<<).
#pragma once

#include "monitoringexception.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/framework/XMLFormatter.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

/// Receives the parser's diagnostics. There is exactly one, shared by every
/// parse. Its flag is sticky on purpose: once any document was reported bad,
/// every later parse in the process fails, so a configuration that was once
/// seen corrupt is never silently half-trusted.
class DOMTreeErrorReporter : public xercesc::ErrorHandler {
public:
    DOMTreeErrorReporter() = default;
    ~DOMTreeErrorReporter() override = default;
    /// Warnings neither print nor count.
    void warning(const xercesc::SAXParseException& toCatch) override;
    void error(const xercesc::SAXParseException& toCatch) override;
    void fatalError(const xercesc::SAXParseException& toCatch) override;
    /// Does nothing: the flag is never cleared (see the class comment).
    void resetErrors() override;
    bool getSawErrors() const { return fSawErrors; }
    /// Where and why the parser last reported an error ("line L, column C:
    /// message"); empty while none was reported. Start-up logs it, since the
    /// exception of a failed parse only says that parsing failed.
    const std::string& lastDiagnostic() const { return fLastDiagnostic; }

    bool fSawErrors = false;
    std::string fLastDiagnostic;
};

/// The process-wide reporter.
DOMTreeErrorReporter* GetXMLErrorReporter();

/// Clears the sticky error flag. Only tests call it: the flag is process-wide
/// and deliberately never cleared by the module, so a test binary that runs
/// bad documents would otherwise poison every later test in the process.
void resetXMLErrorsForTest();

/// Clears the sticky error flag of this copy of the library, for a host
/// component whose loads stand each on its own (the host's monitor thread
/// judges every committed file afresh). The module never calls it: its own
/// copy of the flag, inside the module, lasts as the module's rules say.
void resetXMLErrors();

/// Held around each parse by a host whose own copy of this library parses on
/// several threads (zorhostd's monitor thread and its check of request
/// texts): the reporter, its flag and the request reader are process-wide.
/// The module never takes it: it parses on its host's request path alone.
std::mutex& hostParseMutex();

/// The parser of every document of this layer: a DOM parser that refuses
/// what an XML 1.0 file written by this layer could not hold, so that
/// whatever a request or a file brings into the model can be saved and read
/// back, and that bounds what entities may expand to.
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
///   expansions, a document's expanded text stays below about 1 MiB; before,
///   one 100 KB entity referenced 999 times stayed under the count limit and
///   made hundreds of megabytes. Small internal entities stay allowed (a
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

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReaderImpl;
class InputSource;
XERCES_CPP_NAMESPACE_END

/// Sets a DOM parser up as every parse of this layer needs it: no
/// validation, no namespaces, no external DTD or entity ever read, entity
/// references expanded in place, bounded entity expansion, the shared
/// reporter, and the scan stopping at the first fatal error.
void ConfigureConfigurationParser(xercesc::XercesDOMParser& parser, bool validate);
/// The same settings for a SAX2 reader (content handlers not included).
void ConfigureConfigurationReader(xercesc::SAX2XMLReaderImpl& reader);
/// Parses a whole document into a DOM with a new ConfigurationParser.
std::unique_ptr<xercesc::XercesDOMParser> ParseConfigurationDocument(const xercesc::InputSource& source,
                                                                     bool validate);
/// Runs work (which parses and returns true when the parser counted errors)
/// and reports every failure as every parse does: the library's exceptions
/// become a MonitoringException with their message, anything else "An error
/// occured during parsing", and an error seen by the reporter (now or in any
/// earlier parse) "Parsing errors occurred". discard runs first, to let go of
/// the failed parser.
void ParseGuarded(const std::function<bool()>& work, const std::function<void()>& discard);

/// Why the last load or loadPresets failed (MonitoringConfiguration::lastLoadFailure).
std::string& LoadFailureText();
/// The reason of a failed parse: the parser's own diagnostic when this parse
/// produced one, else the earlier failure that makes every parse fail.
std::string ParseFailureReason(const std::string& diagnosticBefore, bool sawErrorsBefore, const std::string& failure);
/// Releases the reader kept for request texts (see reader.cpp).
void ReleaseRequestReader();
/// Sets what the request reader may allocate in the parser library (256 MiB
/// unless a test lowers it to reach the limit cheaply).
void SetRequestReaderMemoryForTest(std::size_t bytes);

/// Releases the printer's output state and the text transcoder; called by
/// MonitoringConfiguration::terminate before the XML platform stops.
void TerminateXMLUtils();

/// Holds the parser's wide copy of a narrow (UTF-8) text for as long as a DOM
/// call needs it.
class XMLText {
public:
    explicit XMLText(const std::string& text);
    explicit XMLText(const char* text);
    const XMLCh* get() const { return _text.c_str(); }
    operator const XMLCh*() const { return _text.c_str(); }

private:
    std::u16string _text;
};

/// The narrow (UTF-8) form of a parser string; empty for null.
std::string toNarrow(const XMLCh* text);

/// Sends the formatter's bytes to a narrow stream unchanged.
class DOMPrintFormatTarget : public xercesc::XMLFormatTarget {
public:
    explicit DOMPrintFormatTarget(std::ostream* os) : ostrm(os) {}
    ~DOMPrintFormatTarget() override = default;
    void writeChars(const XMLByte* const toWrite, const XMLSize_t count,
                    xercesc::XMLFormatter* const formatter) override;
    void flush() override;

    std::ostream* ostrm;
};

/// Prepares the output state for printing doc to os: encoding UTF-8 unless the
/// document declares another; separateLines switches the printer's line breaks.
void SetXMLParameters(const xercesc::DOMDocument* doc, std::ostream& os, bool separateLines);
/// The same for printing a node without a document: UTF-8, no line breaks.
void SetXMLParameters(std::ostream& os);
/// Forgets the stream named by the last SetXMLParameters, so that no pointer
/// to a finished local stream outlives its print.
void DetachXMLOutput();

/// Appends value (the model's UTF-8 text) as the printer writes it in an
/// attribute value or in text: the same conversion of bytes that are not
/// UTF-8 and the same escapes. The direct writer uses it for text beyond ASCII.
void AppendPrinterEscaped(std::string& out, const std::string& value, bool inAttribute);

/// Prints a node and its subtree with the current output state.
std::ostream& operator<<(std::ostream& target, const xercesc::DOMNode& toWrite);

/// Prints a whole document preceded by its XML declaration. The DOM of the
/// parser library has no declaration node, so a document we build ourselves
/// gets its declaration here, in the layout the printer uses for one.
void PrintDocumentWithDeclaration(std::ostream& target, const xercesc::DOMDocument& doc);
/// The same for a document whose root element gets its children one at a
/// time: nextChild appends the next child to the root and returns it, or
/// returns null when there is none left. Each child is printed, taken out and
/// released before the next is made, so a large document never exists whole.
void PrintDocumentWithDeclaration(std::ostream& target, xercesc::DOMDocument& doc,
                                  const std::function<xercesc::DOMNode*(xercesc::DOMElement* root)>& nextChild);

/// Runs a render with the printer and turns whatever the parser library
/// throws into the one exception type that the request handlers pass on to
/// their clients; the printer's output is detached on every failure.
template <typename Render>
std::string renderOrThrow(Render render)
{
    try {
        return render();
    } catch (const MonitoringException&) {
        DetachXMLOutput();
        throw;
    } catch (const xercesc::XMLException& failure) {
        DetachXMLOutput();
        throw MonitoringException(failure.getMessage());
    } catch (const xercesc::DOMException& failure) {
        DetachXMLOutput();
        throw MonitoringException(failure.getMessage());
    }
}
