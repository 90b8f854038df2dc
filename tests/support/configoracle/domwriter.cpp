// The DOM writer: builds the document of an entry, a trigger or a whole
// configuration and prints it with the printer (xmlprinter.h). Replies and
// saved files are written by the direct writer (xmlwriter.h); this is the
// rendering it must match byte for byte, and the printer is still what
// prints the preset catalogue.
#include "configoracle.h"

#include "vocabulary.h"
#include "xmlprinter.h"
#include "xmltext.h"

#include <xercesc/dom/DOM.hpp>

#include <sstream>

using namespace xercesc;

namespace configoracle {
namespace {

struct DocumentReleaser {
    void operator()(DOMDocument* doc) const { doc->release(); }
};
using DocumentPtr = std::unique_ptr<DOMDocument, DocumentReleaser>;

DocumentPtr createDocument(const XMLCh* rootName)
{
    DOMImplementation* implementation = DOMImplementationRegistry::getDOMImplementation(u"Core");
    return DocumentPtr(implementation->createDocument(nullptr, rootName, nullptr));
}

void setAttribute(DOMElement* element, const XMLCh* name, const std::string& value)
{
    element->setAttribute(name, XMLText(value));
}

DOMElement* appendElement(DOMDocument* doc, DOMNode* parent, const XMLCh* name)
{
    DOMElement* child = doc->createElement(name);
    parent->appendChild(child);
    return child;
}

void appendTimeOfDay(DOMDocument* doc, DOMElement* schedule, const TimeOfDay& timeOfDay)
{
    DOMElement* timeElement = appendElement(doc, schedule, u"time-of-day");
    setAttribute(timeElement, u"hour", std::to_string(timeOfDay.getHour()));
    std::string minutes = std::to_string(timeOfDay.getMinutes());
    setAttribute(timeElement, u"min", minutes.size() < 2 ? "0" + minutes : minutes);
}

// A reply text: no XML declaration and no line breaks of the printer's own.
std::string printReply(const DOMDocument* doc)
{
    std::ostringstream text;
    SetXMLParameters(doc, text, false);
    text << *static_cast<const DOMNode*>(doc);
    DetachXMLOutput();
    return text.str();
}

void generateActionTriggerElement(const ActionTrigger* trigger, DOMElement* triggerElem, DOMDocument* doc);

void generateMonitorEntryElement(const MonitorEntry& entry, DOMElement* entryElem, DOMDocument* doc)
{
    setAttribute(entryElem, u"variable", entry.getVariableName());
    entryElem->setAttribute(u"log", entry.isLog() ? u"true" : u"false");

    // An entry without a schedule, or of kind noFreq, gets an empty frequency
    // element, which reads back as no schedule.
    DOMElement* frequencyElement = appendElement(doc, entryElem, u"frequency");
    const Frequency* frequency = entry.getFrequency();
    switch (frequency != nullptr ? frequency->isA() : noFreq) {
    case asynchronous:
        appendElement(doc, frequencyElement, u"asynchronous");
        break;
    case seconds: {
        DOMElement* schedule = appendElement(doc, frequencyElement, u"seconds");
        std::string period = std::to_string(static_cast<const Seconds*>(frequency)->getSeconds());
        schedule->appendChild(doc->createTextNode(XMLText(period)));
        break;
    }
    case daily: {
        const Daily* dailySchedule = static_cast<const Daily*>(frequency);
        DOMElement* schedule = appendElement(doc, frequencyElement, u"daily");
        setAttribute(schedule, u"every", std::to_string(dailySchedule->getEvery()));
        appendTimeOfDay(doc, schedule, dailySchedule->getTimeOfDay());
        break;
    }
    case weekly: {
        const Weekly* weeklySchedule = static_cast<const Weekly*>(frequency);
        DOMElement* schedule = appendElement(doc, frequencyElement, u"weekly");
        setAttribute(schedule, u"every", std::to_string(weeklySchedule->getEvery()));
        appendTimeOfDay(doc, schedule, weeklySchedule->getTimeOfDay());
        schedule->setAttribute(u"day-of-week", vocabulary::word(vocabulary::kDays, weeklySchedule->getDayOfWeek()));
        break;
    }
    case noFreq:
        break;
    }

    for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
        DOMElement* triggerElement = appendElement(doc, entryElem, u"action-trigger");
        generateActionTriggerElement(entry.getActionTrigger(static_cast<unsigned int>(i)), triggerElement, doc);
    }
}

void generateActionTriggerElement(const ActionTrigger* trigger, DOMElement* triggerElem, DOMDocument* doc)
{
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    triggerElem->setAttribute(u"value-type", vocabulary::word(vocabulary::kValueTypes, trigger->getValueType()));
    triggerElem->setAttribute(u"permanent", trigger->isPermanent() ? u"true" : u"false");

    switch (trigger->isA()) {
    case singleValue: {
        const SingleValueTrigger* single = static_cast<const SingleValueTrigger*>(trigger);
        DOMElement* kind = appendElement(doc, triggerElem, u"single-value");
        kind->setAttribute(u"comparison", vocabulary::word(vocabulary::kComparisons, single->getComparisonType()));
        setAttribute(kind, u"value", single->getValue());
        break;
    }
    case intervalValue: {
        const IntervalValueTrigger* interval = static_cast<const IntervalValueTrigger*>(trigger);
        DOMElement* kind = appendElement(doc, triggerElem, u"interval-value");
        setAttribute(kind, u"low-value", interval->getLowValue());
        setAttribute(kind, u"high-value", interval->getHighValue());
        kind->setAttribute(u"inside-outside-range", vocabulary::word(vocabulary::kIntervals, interval->getIntervalType()));
        break;
    }
    case valueChanges:
        appendElement(doc, triggerElem, u"value-changes");
        break;
    }

    const Action& action = trigger->getActionReference();
    DOMElement* actionElement = appendElement(doc, triggerElem, u"action");
    setAttribute(actionElement, u"max-frequency", std::to_string(action.getMaxFrequency()));
    for (int i = 0; i < action.getEmailListSize(); ++i) {
        DOMElement* email = appendElement(doc, actionElement, u"email");
        email->appendChild(doc->createTextNode(XMLText(action.getEmail(static_cast<unsigned int>(i)))));
    }
    if (action.isShutdown()) {
        appendElement(doc, actionElement, u"shutdown");
    }
    if (action.isTrap()) {
        appendElement(doc, actionElement, u"trap");
    }
    if (action.isUdp()) {
        appendElement(doc, actionElement, u"udp");
    }
    if (action.isLog()) {
        appendElement(doc, actionElement, u"log");
    }
    if (action.isPowerOffDrive()) {
        appendElement(doc, actionElement, u"power-off-drive");
    }
}

} // namespace

std::string generate(const MonitorEntry& entry)
{
    return renderOrThrow([&entry] {
        DocumentPtr doc = createDocument(u"monitor-entry");
        generateMonitorEntryElement(entry, doc->getDocumentElement(), doc.get());
        return printReply(doc.get());
    });
}

std::string generate(const ActionTrigger* trigger)
{
    return renderOrThrow([trigger] {
        DocumentPtr doc = createDocument(u"action-trigger");
        generateActionTriggerElement(trigger, doc->getDocumentElement(), doc.get());
        return printReply(doc.get());
    });
}

std::string document(const std::vector<MonitorEntry>& entries)
{
    return renderOrThrow([&entries] {
        // Entry by entry: the tree of a whole large table is never built.
        DocumentPtr doc = createDocument(u"monitor-config");
        std::ostringstream text;
        SetXMLParameters(doc.get(), text, true);
        std::size_t next = 0;
        PrintDocumentWithDeclaration(text, *doc, [&](DOMElement* root) -> DOMNode* {
            if (next == entries.size()) {
                return nullptr;
            }
            DOMElement* entryElement = appendElement(doc.get(), root, u"monitor-entry");
            generateMonitorEntryElement(entries[next++], entryElement, doc.get());
            return entryElement;
        });
        DetachXMLOutput();
        return text.str();
    });
}

} // namespace configoracle
