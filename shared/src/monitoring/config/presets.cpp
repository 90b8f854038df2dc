// The preset catalogue: a small document of preset variables, read into a
// DOM that the request handlers walk and print.
#include "configfiles.h"
#include "monitoring.h"
#include "xmlenvironment.h"
#include "xmlprinter.h"
#include "xmltext.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include <sstream>

using namespace xercesc;

namespace {

// The file is read here rather than by the parser: a missing file is an
// ordinary condition at start-up and must not reach the parser's reporter,
// whose error flag never clears.
std::unique_ptr<XercesDOMParser> parseCatalogue(const std::string& filename)
{
    std::string content;
    if (!readRegularFile(filename, content, LoadFailureText())) {
        throw MonitoringException(std::string("preset file not found"));
    }
    XMLText systemId(filename);
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(content.data()), content.size(), systemId.get(), false);
    source.setCopyBufToStream(false); // the text outlives the parse: no copy of it
    const bool sawErrorsBefore = GetXMLErrorReporter()->getSawErrors();
    const std::string diagnosticBefore = GetXMLErrorReporter()->lastDiagnostic();
    try {
        return ParseConfigurationDocument(source, false);
    } catch (const MonitoringException& failure) {
        LoadFailureText() = ParseFailureReason(diagnosticBefore, sawErrorsBefore, failure.getMessage());
        throw;
    }
}

} // namespace

xercesc::DOMNodeList* MonitoringConfiguration::loadPresets(const std::string& filename)
{
    std::unique_ptr<XercesDOMParser> parser = parseCatalogue(filename);
    if (parser == nullptr) {
        throw MonitoringException(std::string("preset parse did not work"));
    }
    DOMNodeList* presets = nullptr;
    if (DOMElement* root = parser->getDocument()->getDocumentElement()) {
        presets = root->getElementsByTagName(u"preset-variable");
    }
    // The list points into the parser's document, so the parser is kept for
    // the rest of the process. It stays reachable through this list, which is
    // itself never destroyed: at exit the XML platform may already be gone.
    static auto* keptParsers = new std::vector<std::unique_ptr<XercesDOMParser>>();
    keptParsers->push_back(std::move(parser));
    return presets;
}

std::string MonitoringConfiguration::generatePreset(const xercesc::DOMNode* presetElement)
{
    if (presetElement == nullptr) {
        throw MonitoringException(std::string("NULL Preset specified"));
    }
    return renderOrThrow([presetElement] {
        std::ostringstream text;
        SetXMLParameters(text);
        text << *presetElement;
        DetachXMLOutput();
        return text.str();
    });
}
