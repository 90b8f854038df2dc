// The DOM printer and its output state (prepared by SetXMLParameters, used by
// operator<<): the reference layout of replies and saved files, and what
// still prints the preset catalogue.
#pragma once

#include "monitoringexception.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/framework/XMLFormatter.hpp>
#include <xercesc/util/XMLException.hpp>

#include <functional>
#include <ostream>
#include <string>

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
/// Releases the output state; only while the XML platform is still up.
void ReleasePrinter();

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
