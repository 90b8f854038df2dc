// The DOM reader: the entry rules run over a whole document tree. The module
// reads with the SAX2 reader (reader.cpp); this is what it is checked against.
#include "configoracle.h"
#include "domview.h"
#include "entryrules.h"
#include "xmlenvironment.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

using namespace xercesc;

namespace configoracle {
namespace {

std::unique_ptr<XercesDOMParser> parse(const std::string& input, const XMLCh* systemId)
{
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(input.data()), input.size(), systemId, false);
    source.setCopyBufToStream(false); // the text outlives the parse: no copy of it
    return ParseConfigurationDocument(source, false);
}

} // namespace

std::vector<MonitorEntry> load(const std::string& document)
{
    std::unique_ptr<XercesDOMParser> parser = parse(document, u"Monitor.cfg");
    DomView view;
    entryrules::Rules<DomView> rules(view);
    std::vector<MonitorEntry> entries;
    if (const DOMElement* root = DomView::firstElementChild(parser->getDocument())) {
        DomView::forEachBelow(root, u"monitor-entry", [&](const DOMElement* entry) {
            entries.push_back(rules.entry(entry));
            return true;
        });
    }
    return entries;
}

MonitorEntry parseMonitorEntry(const std::string& input)
{
    std::unique_ptr<XercesDOMParser> parser = parse(input, u"MonEntryParse");
    DomView view;
    return entryrules::Rules<DomView>(view).entry(DomView::firstElementChild(parser->getDocument()));
}

std::unique_ptr<ActionTrigger> parseActionTrigger(const std::string& input)
{
    std::unique_ptr<XercesDOMParser> parser = parse(input, u"ActionTriggerParse");
    DomView view;
    return entryrules::Rules<DomView>(view).trigger(DomView::firstElementChild(parser->getDocument()));
}

} // namespace configoracle
