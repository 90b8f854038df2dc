#include "xmlreporter.h"

#include "xmltext.h"

#include <iostream>

using namespace xercesc;

void DOMTreeErrorReporter::note(const char* prefix, const SAXParseException& toCatch)
{
    fSawErrors = true;
    fLastDiagnostic = "line " + std::to_string(toCatch.getLineNumber()) + ", column " +
                      std::to_string(toCatch.getColumnNumber()) + ": " + toNarrow(toCatch.getMessage());
    if (_echo) {
        std::cerr << prefix << "\"" << toNarrow(toCatch.getSystemId()) << "\", line " << toCatch.getLineNumber()
                  << ", column " << toCatch.getColumnNumber() << "\n   Message: " << toNarrow(toCatch.getMessage())
                  << std::endl;
    }
}

void DOMTreeErrorReporter::warning(const SAXParseException&) {}

void DOMTreeErrorReporter::error(const SAXParseException& toCatch) { note("Error at file ", toCatch); }

void DOMTreeErrorReporter::fatalError(const SAXParseException& toCatch) { note("Fatal Error at file ", toCatch); }

void DOMTreeErrorReporter::resetErrors() {}

void DOMTreeErrorReporter::clear()
{
    fSawErrors = false;
    fLastDiagnostic.clear();
}
