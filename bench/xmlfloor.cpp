// The XML floor: what the same documents cost in the XML library alone.

#include "benchsamples.h"
#include "benchsuite.h"

#include "monitoring.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/SecurityManager.hpp>

#include <memory>
#include <string>
#include <vector>

namespace zorbench {
namespace {

// A parser as the module configures its own, made once and kept: the floor
// is the parse, not the parser's construction.
class FloorParser {
public:
    FloorParser()
    {
        _security.setEntityExpansionLimit(1000);
        _parser.setValidationScheme(xercesc::XercesDOMParser::Val_Never);
        _parser.setDoNamespaces(false);
        _parser.setDoSchema(false);
        _parser.setValidationSchemaFullChecking(false);
        _parser.setErrorHandler(&_errors);
        _parser.setLoadExternalDTD(false);
        _parser.setDisableDefaultEntityResolution(true);
        _parser.setCreateEntityReferenceNodes(false);
        _parser.setSecurityManager(&_security);
    }
    /// Parses text into a document, then lets the document go; false on a parse error.
    bool parse(const std::string& text)
    {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), u"floor",
                                          false);
        _parser.parse(source);
        bool ok = _parser.getErrorCount() == 0 && _parser.getDocument() != nullptr;
        _parser.resetDocumentPool();
        return ok;
    }

private:
    xercesc::HandlerBase _errors;
    xercesc::SecurityManager _security;
    xercesc::XercesDOMParser _parser;
};

} // namespace

void floorGenerateEntry(benchmark::State& state, std::size_t sizeIndex)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    std::vector<MonitorEntry> entries;
    for (const std::string& text : samples.entryXml) {
        entries.push_back(MonitoringConfiguration::parseMonitorEntry(text));
    }
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        std::string text = MonitoringConfiguration::generate(entries[k++ % entries.size()]);
        state.SetIterationTime(threadSeconds() - start);
        benchmark::DoNotOptimize(text.data());
    }
}

void floorGenerateTrigger(benchmark::State& state, std::size_t sizeIndex)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    std::vector<std::unique_ptr<ActionTrigger>> triggers;
    for (const std::string& text : samples.triggerXml) {
        triggers.emplace_back(MonitoringConfiguration::parseActionTrigger(text));
    }
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        std::string text = MonitoringConfiguration::generate(triggers[k++ % triggers.size()].get());
        state.SetIterationTime(threadSeconds() - start);
        benchmark::DoNotOptimize(text.data());
    }
}

void floorParse(benchmark::State& state, std::size_t sizeIndex, bool triggers)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    const std::vector<std::string>& texts = triggers ? samples.triggerXml : samples.entryXml;
    FloorParser parser;
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        bool parsed = parser.parse(texts[k++ % texts.size()]);
        state.SetIterationTime(threadSeconds() - start);
        if (!parsed) {
            state.SkipWithError("the floor parser refused a reply text of the module");
            break;
        }
    }
}

} // namespace zorbench
