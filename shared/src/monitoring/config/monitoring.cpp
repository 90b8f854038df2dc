#include "monitoring.h"

#include "xmlutils.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/XMLString.hpp>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace xercesc;

// ===========================================================================
// MonitorEntry

MonitorEntry::ActionTriggerWrapper::ActionTriggerWrapper(const ActionTrigger* trigger)
    : _trigger(trigger != nullptr ? trigger->clone(true) : nullptr)
{
}

MonitorEntry::ActionTriggerWrapper::ActionTriggerWrapper(const ActionTriggerWrapper& other)
    : ActionTriggerWrapper(other._trigger)
{
}

MonitorEntry::ActionTriggerWrapper::ActionTriggerWrapper(ActionTriggerWrapper&& other) noexcept
    : _trigger(other._trigger)
{
    other._trigger = nullptr;
}

MonitorEntry::ActionTriggerWrapper& MonitorEntry::ActionTriggerWrapper::operator=(const ActionTriggerWrapper& other)
{
    if (this != &other) {
        // Clone first: if cloning fails, this wrapper keeps its trigger.
        ActionTrigger* copy = other._trigger != nullptr ? other._trigger->clone(true) : nullptr;
        delete _trigger;
        _trigger = copy;
    }
    return *this;
}

MonitorEntry::ActionTriggerWrapper&
MonitorEntry::ActionTriggerWrapper::operator=(ActionTriggerWrapper&& other) noexcept
{
    if (this != &other) {
        delete _trigger;
        _trigger = other._trigger;
        other._trigger = nullptr;
    }
    return *this;
}

MonitorEntry::ActionTriggerWrapper::~ActionTriggerWrapper() { delete _trigger; }

MonitorEntry::MonitorEntry(bool log, std::string variableName, const Frequency* frequency)
    : _log(log), _variableName(std::move(variableName))
{
    setFrequency(frequency);
}

MonitorEntry::MonitorEntry(const MonitorEntry& other)
    : _log(other._log), _variableName(other._variableName), _actionTriggers(other._actionTriggers)
{
    _frequency = other._frequency != nullptr ? other._frequency->clone(true) : nullptr;
}

MonitorEntry::MonitorEntry(MonitorEntry&& other) noexcept
    : _log(other._log), _variableName(std::move(other._variableName)), _frequency(other._frequency),
      _actionTriggers(std::move(other._actionTriggers))
{
    other._frequency = nullptr;
}

MonitorEntry& MonitorEntry::operator=(const MonitorEntry& other)
{
    if (this != &other) {
        // Copy, then swap: self-assignment and a failing clone both leave
        // this entry as it was.
        MonitorEntry copy(other);
        swap(copy);
    }
    return *this;
}

// Member by member rather than through a temporary: erasing entry 0 of a
// large table move-assigns every later entry, so this runs once per entry.
// The moved-from entry keeps its log flag and holds no name, schedule or
// trigger, as after a move construction.
MonitorEntry& MonitorEntry::operator=(MonitorEntry&& other) noexcept
{
    if (this != &other) {
        _log = other._log;
        _variableName = std::move(other._variableName);
        delete _frequency;
        _frequency = other._frequency;
        other._frequency = nullptr;
        _actionTriggers = std::move(other._actionTriggers);
        other._actionTriggers.clear();
    }
    return *this;
}

MonitorEntry::~MonitorEntry() { delete _frequency; }

void MonitorEntry::swap(MonitorEntry& other) noexcept
{
    std::swap(_log, other._log);
    _variableName.swap(other._variableName);
    std::swap(_frequency, other._frequency);
    _actionTriggers.swap(other._actionTriggers);
}

void MonitorEntry::setFrequency(const Frequency* frequency)
{
    if (frequency == nullptr) {
        throw MonitoringException(std::string("NULL Frequency specified"));
    }
    Frequency* copy = frequency->clone(true);
    delete _frequency;
    _frequency = copy;
}

void MonitorEntry::addActionTrigger(const ActionTrigger* trigger)
{
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    if (!_log && trigger->getValueType() != instantaneous) {
        throw MonitoringException(std::string("A non instantaneous trigger cannot be added to an entry that's not logged"));
    }
    _actionTriggers.emplace_back(trigger);
}

void MonitorEntry::delActionTrigger(unsigned int index)
{
    if (index >= _actionTriggers.size()) {
        throw MonitoringException(std::string("Trigger not found with the specified index"));
    }
    _actionTriggers.erase(_actionTriggers.begin() + index);
}

void MonitorEntry::modifyActionTrigger(unsigned int index, const ActionTrigger* trigger)
{
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    if (index >= _actionTriggers.size()) {
        throw MonitoringException(std::string("Trigger not found with the specified index"));
    }
    _actionTriggers[index] = ActionTriggerWrapper(trigger);
}

ActionTrigger* MonitorEntry::getActionTrigger(unsigned int index)
{
    return index < _actionTriggers.size() ? _actionTriggers[index]() : nullptr;
}

const ActionTrigger* MonitorEntry::getActionTrigger(unsigned int index) const
{
    return index < _actionTriggers.size() ? _actionTriggers[index]() : nullptr;
}

void MonitorEntry::print() const
{
    std::cout << "log: " << _log << std::endl;
    std::cout << "variable: " << _variableName << std::endl;
    // An entry read from an unknown schedule element has none to dump.
    if (_frequency != nullptr) {
        _frequency->print();
    }
    for (const ActionTriggerWrapper& wrapper : _actionTriggers) {
        if (wrapper() != nullptr) {
            wrapper()->print();
        }
    }
}

// ===========================================================================
// Reader

namespace {

const DOMElement* firstElementChild(const DOMNode* node)
{
    for (const DOMNode* child = node != nullptr ? node->getFirstChild() : nullptr; child != nullptr;
         child = child->getNextSibling()) {
        if (child->getNodeType() == DOMNode::ELEMENT_NODE) {
            return static_cast<const DOMElement*>(child);
        }
    }
    return nullptr;
}

// The node after node in document order, staying inside the subtree of top.
const DOMNode* nextBelow(const DOMNode* node, const DOMNode* top)
{
    if (const DOMNode* child = node->getFirstChild()) {
        return child;
    }
    for (; node != top; node = node->getParentNode()) {
        if (const DOMNode* next = node->getNextSibling()) {
            return next;
        }
    }
    return nullptr;
}

// Visits the elements named name below element (not element itself), in
// document order, as getElementsByTagName lists them; visit returns false to
// stop. A walk rather than getElementsByTagName: every list that call makes
// stays in its document's list pool, whose lookups slow down as it fills, so
// reading a large configuration through it took quadratic time and several
// times the file's size in memory.
template <typename Visit>
void forEachElementBelow(const DOMElement* element, const XMLCh* name, Visit visit)
{
    if (element == nullptr) {
        return;
    }
    for (const DOMNode* node = element->getFirstChild(); node != nullptr; node = nextBelow(node, element)) {
        if (node->getNodeType() == DOMNode::ELEMENT_NODE && XMLString::equals(node->getNodeName(), name) &&
            !visit(static_cast<const DOMElement*>(node))) {
            return;
        }
    }
}

const DOMElement* firstElementBelow(const DOMElement* element, const XMLCh* name)
{
    const DOMElement* found = nullptr;
    forEachElementBelow(element, name, [&found](const DOMElement* match) {
        found = match;
        return false;
    });
    return found;
}

bool hasElementBelow(const DOMElement* element, const XMLCh* name)
{
    return firstElementBelow(element, name) != nullptr;
}

bool attributeIs(const DOMElement* element, const XMLCh* name, const XMLCh* value)
{
    return element != nullptr && XMLString::equals(element->getAttribute(name), value);
}

std::string attributeText(const DOMElement* element, const XMLCh* name)
{
    return element != nullptr ? toNarrow(element->getAttribute(name)) : std::string();
}

// Numbers read as strtol reads them: white space, sign and digits, the rest
// ignored, no digits giving 0. Out-of-range values saturate at the ends of
// the field's own range: a signed field at the 32-bit signed limits, an
// unsigned one at INT_MIN..UINT_MAX, a negative number then taking its
// two's-complement value as the unsigned setters always received it. So
// every number the writer prints for a field reads back as itself, and "-1"
// as an hour still becomes a huge value that the setter refuses.
long long readNumber(const XMLCh* text, bool isUnsigned)
{
    std::string narrow = toNarrow(text);
    const long long value = std::strtoll(narrow.c_str(), nullptr, 10);
    const long long high = isUnsigned ? static_cast<long long>(UINT_MAX) : INT_MAX;
    return value > high ? high : value < INT_MIN ? INT_MIN : value;
}

unsigned int readUnsigned(const XMLCh* text)
{
    return static_cast<unsigned int>(readNumber(text, true));
}

unsigned int readUnsignedAttribute(const DOMElement* element, const XMLCh* name)
{
    return element != nullptr ? readUnsigned(element->getAttribute(name)) : 0;
}

int readSignedAttribute(const DOMElement* element, const XMLCh* name)
{
    return element != nullptr ? static_cast<int>(readNumber(element->getAttribute(name), false)) : 0;
}

// White space around an address is layout, not part of it: saved files put
// each address on a line of its own.
std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The value an element holds as text: its text and CDATA children joined.
// Comments and processing instructions inside are not part of the value: a
// commented-out address must stay out, not become a live recipient. False
// when the element holds no text at all.
bool valueText(const DOMElement* element, std::string& value)
{
    std::u16string text;
    bool any = false;
    for (const DOMNode* child = element->getFirstChild(); child != nullptr; child = child->getNextSibling()) {
        const DOMNode::NodeType type = child->getNodeType();
        if ((type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE) && child->getNodeValue() != nullptr) {
            text += child->getNodeValue();
            any = true;
        }
    }
    value = toNarrow(text.c_str());
    return any;
}

TimeOfDay readTimeOfDay(const DOMElement* timeElement)
{
    TimeOfDay timeOfDay;
    timeOfDay.setHour(readUnsignedAttribute(timeElement, u"hour"));
    timeOfDay.setMinutes(readUnsignedAttribute(timeElement, u"min"));
    return timeOfDay;
}

std::unique_ptr<Frequency> readSchedule(const DOMElement* scheduleElement)
{
    if (scheduleElement == nullptr) {
        return nullptr;
    }
    const XMLCh* name = scheduleElement->getTagName();
    if (XMLString::equals(name, u"seconds")) {
        // An empty seconds element leaves the entry without a schedule
        // rather than inventing a period.
        std::string period;
        if (!valueText(scheduleElement, period)) {
            return nullptr;
        }
        auto schedule = std::make_unique<Seconds>();
        schedule->setSeconds(readUnsigned(XMLText(period)));
        return schedule;
    }
    if (XMLString::equals(name, u"daily")) {
        auto schedule = std::make_unique<Daily>();
        TimeOfDay timeOfDay = readTimeOfDay(firstElementBelow(scheduleElement, u"time-of-day"));
        schedule->setEvery(readSignedAttribute(scheduleElement, u"every"));
        schedule->setTimeOfDay(timeOfDay);
        return schedule;
    }
    if (XMLString::equals(name, u"weekly")) {
        static const XMLCh* const days[] = {u"sun", u"mon", u"tue", u"wed", u"thu", u"fri", u"sat"};
        auto schedule = std::make_unique<Weekly>();
        const DOMElement* timeElement = firstElementBelow(scheduleElement, u"time-of-day");
        schedule->setEvery(readSignedAttribute(scheduleElement, u"every"));
        TimeOfDay timeOfDay = readTimeOfDay(timeElement);
        for (int day = sun; day <= sat; ++day) {
            if (attributeIs(scheduleElement, u"day-of-week", days[day])) {
                schedule->setDayOfWeek(static_cast<DayOfWeek>(day));
            }
        }
        schedule->setTimeOfDay(timeOfDay);
        return schedule;
    }
    if (XMLString::equals(name, u"asynchronous")) {
        return std::make_unique<Asynchronous>();
    }
    return nullptr;
}

Action readAction(const DOMElement* triggerElement)
{
    Action action;
    const DOMElement* actionElement = firstElementBelow(triggerElement, u"action");
    if (actionElement == nullptr) {
        return action;
    }
    action.setMaxFrequency(readUnsignedAttribute(actionElement, u"max-frequency"));
    // Addresses and flags count wherever they stand below the trigger.
    forEachElementBelow(triggerElement, u"email", [&action](const DOMElement* email) {
        std::string address;
        valueText(email, address);
        address = trimmed(address);
        if (!address.empty()) {
            action.addEmail(address);
        }
        return true;
    });
    if (hasElementBelow(triggerElement, u"shutdown")) {
        SetShutdown(true, action);
    }
    if (hasElementBelow(triggerElement, u"trap")) {
        action.setTrap(true);
    }
    if (hasElementBelow(triggerElement, u"udp")) {
        action.setUdp(true);
    }
    if (hasElementBelow(triggerElement, u"log")) {
        action.setLog(true);
    }
    if (hasElementBelow(triggerElement, u"power-off-drive")) {
        action.setPowerOffDrive(true);
    }
    return action;
}

TriggerValueType readValueType(const DOMElement* triggerElement)
{
    if (attributeIs(triggerElement, u"value-type", u"average")) {
        return average;
    }
    if (attributeIs(triggerElement, u"value-type", u"minimum")) {
        return minimum;
    }
    if (attributeIs(triggerElement, u"value-type", u"maximum")) {
        return maximum;
    }
    return instantaneous;
}

// Parses a document held in memory; the bytes are not copied.
class MemoryDocument {
public:
    MemoryDocument(const std::string& input, const XMLCh* systemId)
        : _source(reinterpret_cast<const XMLByte*>(input.data()), input.size(), systemId, false)
    {
    }
    const InputSource& source() const { return _source; }

private:
    MemBufInputSource _source;
};

// Reads a whole regular file; false when it cannot be opened or read, with
// the reason in failure. Opened without blocking and checked on the open
// descriptor: a FIFO put in place of a configuration file must not hang the
// session that opens, and what is checked is what is read.
bool readRegularFile(const std::string& filename, std::string& content, std::string& failure)
{
    int fd = ::open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure = std::strerror(errno);
        return false;
    }
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0;
    if (!ok) {
        failure = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        failure = "not a regular file";
        ok = false;
    }
    content.clear();
    // Sized once: growing by doubling would hold up to three times the file
    // while a large configuration is read.
    if (ok) {
        content.reserve(static_cast<std::size_t>(status.st_size) + 1);
    }
    char buffer[16 * 1024];
    while (ok) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            content.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            failure = std::strerror(errno);
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

// Why the last load or loadPresets failed (see lastLoadFailure).
std::string gLoadFailure;

// The reason of a failed parse: the parser's own diagnostic when this parse
// produced one, else the earlier failure that makes every parse fail.
std::string parseFailureReason(const std::string& diagnosticBefore, bool sawErrorsBefore,
                               const MonitoringException& failure)
{
    const std::string& diagnostic = GetXMLErrorReporter()->lastDiagnostic();
    if (sawErrorsBefore && diagnostic == diagnosticBefore) {
        return "an earlier document failed to parse" + (diagnostic.empty() ? "" : " (" + diagnostic + ")");
    }
    return diagnostic.empty() ? failure.getMessage() : diagnostic;
}

} // namespace

std::unique_ptr<XercesDOMParser> MonitoringConfiguration::parseFile(const std::string& filename,
                                                                   const char* notFoundMessage)
{
    // The file is read here rather than by the parser: a missing file is an
    // ordinary condition at start-up (the next session open tries again) and
    // must not reach the parser's reporter, whose error flag never clears.
    std::string content;
    if (!readRegularFile(filename, content, gLoadFailure)) {
        throw MonitoringException(std::string(notFoundMessage));
    }
    XMLText systemId(filename);
    MemoryDocument document(content, systemId);
    const bool sawErrorsBefore = GetXMLErrorReporter()->getSawErrors();
    const std::string diagnosticBefore = GetXMLErrorReporter()->lastDiagnostic();
    try {
        return parseDocument(document.source(), false);
    } catch (const MonitoringException& failure) {
        gLoadFailure = parseFailureReason(diagnosticBefore, sawErrorsBefore, failure);
        throw;
    }
}

std::string MonitoringConfiguration::lastLoadFailure() { return gLoadFailure; }

namespace {

// Reads Monitor.cfg entry by entry while the parser builds the document: as
// soon as a monitor-entry that is a child of the root element is complete,
// it is handed over and then taken out of the tree and released, so the
// parser's node pools reuse its memory for the next entry. A whole document
// tree of a large configuration would take many times the file's size.
//
// The result is the one the whole tree gives: entries are taken in document
// order. Only an entry of the usual shape is taken early; at the first
// monitor-entry anywhere else (deeper down, or inside another entry) early
// taking stops, and every entry still in the tree comes after all those taken
// (see load). A failure while taking an entry is kept and reported after the
// parse, so that a document that also fails to parse reports the parse
// failure, as it always has.
class EntryStreamingParser : public ConfigurationParser {
public:
    explicit EntryStreamingParser(std::function<void(const DOMElement*)> take) : _take(std::move(take)) {}

    void endElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                    const XMLCh* const elemPrefix) override
    {
        ConfigurationParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
        DOMNode* done = fCurrentNode;
        if (!_streaming || done == nullptr || done->getNodeType() != DOMNode::ELEMENT_NODE ||
            !XMLString::equals(done->getNodeName(), u"monitor-entry")) {
            return;
        }
        DOMNode* parent = fCurrentParent;
        const DOMNode* grandParent = parent != nullptr ? parent->getParentNode() : nullptr;
        if (parent == nullptr || parent->getNodeType() != DOMNode::ELEMENT_NODE || grandParent == nullptr ||
            grandParent->getNodeType() != DOMNode::DOCUMENT_NODE) {
            _streaming = false;
            return;
        }
        try {
            if (!_failure) {
                _take(static_cast<const DOMElement*>(done));
            }
        } catch (...) {
            _failure = std::current_exception();
        }
        parent->removeChild(done);
        done->release();
        // Text that follows starts a node of its own, as after any element.
        fCurrentNode = parent;
    }

    /// The first failure of taking an entry, if any.
    std::exception_ptr failure() const { return _failure; }

private:
    std::function<void(const DOMElement*)> _take;
    bool _streaming = true;
    std::exception_ptr _failure;
};

// Lets the kept request parser's document go when the request has read it.
class RequestDocument {
public:
    explicit RequestDocument(XercesDOMParser& parser) : _parser(parser) {}
    ~RequestDocument() { _parser.resetDocumentPool(); }
    RequestDocument(const RequestDocument&) = delete;
    RequestDocument& operator=(const RequestDocument&) = delete;
    const DOMDocument* document() const { return _parser.getDocument(); }

private:
    XercesDOMParser& _parser;
};

} // namespace

std::vector<MonitorEntry> MonitoringConfiguration::load(const std::string& filename)
{
    std::string content;
    if (!readRegularFile(filename, content, gLoadFailure)) {
        throw MonitoringException(std::string("file to read not found"));
    }
    XMLText systemId(filename);
    MemoryDocument document(content, systemId);

    std::vector<MonitorEntry> entries;
    // Which entry a model failure came from, for the start-up log.
    auto take = [&entries](const DOMElement* entry) {
        try {
            entries.push_back(parseMonitorEntryElement(entry));
        } catch (const MonitoringException& failure) {
            const std::string variable = attributeText(entry, u"variable");
            gLoadFailure = "monitor-entry " + std::to_string(entries.size() + 1) + " (variable \"" + variable +
                           "\"): " + failure.getMessage();
            throw;
        }
    };
    std::unique_ptr<EntryStreamingParser> parser;
    const bool sawErrorsBefore = GetXMLErrorReporter()->getSawErrors();
    const std::string diagnosticBefore = GetXMLErrorReporter()->lastDiagnostic();
    try {
        parseGuarded(
            [&] {
                parser = std::make_unique<EntryStreamingParser>(take);
                configureParser(*parser, false);
                parser->parse(document.source());
                return parser->getErrorCount() > 0;
            },
            [&] { parser.reset(); });
    } catch (const MonitoringException& failure) {
        gLoadFailure = parseFailureReason(diagnosticBefore, sawErrorsBefore, failure);
        throw;
    }
    if (parser->failure()) {
        std::rethrow_exception(parser->failure());
    }
    // What early taking left in the tree: entries after all those taken.
    forEachElementBelow(firstElementChild(parser->getDocument()), u"monitor-entry",
                        [&take](const DOMElement* entry) {
                            take(entry);
                            return true;
                        });
    return entries;
}

MonitorEntry MonitoringConfiguration::parseMonitorEntry(const std::string& input)
{
    MemoryDocument document(input, u"MonEntryParse");
    RequestDocument parsed(parseRequest(document.source()));
    return parseMonitorEntryElement(firstElementChild(parsed.document()));
}

ActionTrigger* MonitoringConfiguration::parseActionTrigger(const std::string& input)
{
    MemoryDocument document(input, u"ActionTriggerParse");
    RequestDocument parsed(parseRequest(document.source()));
    return parseActionTriggerElement(firstElementChild(parsed.document())).release();
}

MonitorEntry MonitoringConfiguration::parseMonitorEntryElement(const DOMElement* monEntryElement)
{
    MonitorEntry entry;
    if (monEntryElement == nullptr) {
        return entry;
    }
    // The log flag goes first, so the logging rule sees its final value.
    entry.setLog(attributeIs(monEntryElement, u"log", u"true"));
    entry.setVariableName(attributeText(monEntryElement, u"variable"));

    const DOMElement* frequencyElement = firstElementBelow(monEntryElement, u"frequency");
    std::unique_ptr<Frequency> schedule = readSchedule(firstElementChild(frequencyElement));
    if (schedule != nullptr) {
        entry.setFrequency(schedule.get());
    }

    forEachElementBelow(monEntryElement, u"action-trigger", [&entry](const DOMElement* triggerElement) {
        std::unique_ptr<ActionTrigger> trigger = parseActionTriggerElement(triggerElement);
        entry.addActionTrigger(trigger.get());
        return true;
    });
    return entry;
}

std::unique_ptr<ActionTrigger> MonitoringConfiguration::parseActionTriggerElement(const DOMElement* actionTriggerElement)
{
    if (actionTriggerElement == nullptr) {
        return nullptr;
    }
    TriggerValueType valueType = readValueType(actionTriggerElement);
    bool permanent = attributeIs(actionTriggerElement, u"permanent", u"true");
    Action action = readAction(actionTriggerElement);

    std::unique_ptr<ActionTrigger> trigger;
    if (const DOMElement* single = firstElementBelow(actionTriggerElement, u"single-value")) {
        static const XMLCh* const comparisons[] = {u"greater-than", u"less-than", u"equals", u"not-equals"};
        auto singleTrigger = std::make_unique<SingleValueTrigger>();
        singleTrigger->setValueType(valueType);
        for (int comparison = greaterThan; comparison <= notEquals; ++comparison) {
            if (attributeIs(single, u"comparison", comparisons[comparison])) {
                singleTrigger->setComparisonType(static_cast<TriggerComparisonType>(comparison));
            }
        }
        singleTrigger->setValue(attributeText(single, u"value"));
        trigger = std::move(singleTrigger);
    } else if (const DOMElement* interval = firstElementBelow(actionTriggerElement, u"interval-value")) {
        auto intervalTrigger = std::make_unique<IntervalValueTrigger>();
        intervalTrigger->setValueType(valueType);
        intervalTrigger->setLowValue(attributeText(interval, u"low-value"));
        intervalTrigger->setHighValue(attributeText(interval, u"high-value"));
        if (attributeIs(interval, u"inside-outside-range", u"inside")) {
            intervalTrigger->setIntervalType(inside);
        } else if (attributeIs(interval, u"inside-outside-range", u"outside")) {
            intervalTrigger->setIntervalType(outside);
        }
        trigger = std::move(intervalTrigger);
    } else if (hasElementBelow(actionTriggerElement, u"value-changes")) {
        trigger = std::make_unique<ValueChangesTrigger>();
        trigger->setValueType(valueType);
    } else {
        return nullptr;
    }
    trigger->setAction(action);
    trigger->setPermanent(permanent);
    return trigger;
}

// ===========================================================================
// Writer

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

const XMLCh* word(const XMLCh* const* table, int size, int index)
{
    return index >= 0 && index < size ? table[index] : u"";
}

void appendTimeOfDay(DOMDocument* doc, DOMElement* schedule, const TimeOfDay& timeOfDay)
{
    DOMElement* timeElement = appendElement(doc, schedule, u"time-of-day");
    setAttribute(timeElement, u"hour", std::to_string(timeOfDay.getHour()));
    std::string minutes = std::to_string(timeOfDay.getMinutes());
    setAttribute(timeElement, u"min", minutes.size() < 2 ? "0" + minutes : minutes);
}

// Runs a render and turns whatever the parser library throws into the one
// exception type that the request handlers pass on to their clients.
template <typename Render>
std::string renderOrThrow(Render render)
{
    try {
        return render();
    } catch (const MonitoringException&) {
        DetachXMLOutput();
        throw;
    } catch (const XMLException& failure) {
        DetachXMLOutput();
        throw MonitoringException(failure.getMessage());
    } catch (const DOMException& failure) {
        DetachXMLOutput();
        throw MonitoringException(failure.getMessage());
    }
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

} // namespace

void MonitoringConfiguration::generateMonitorEntryElement(const MonitorEntry& entry, DOMElement* entryElem,
                                                          DOMDocument* doc)
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
        static const XMLCh* const days[] = {u"sun", u"mon", u"tue", u"wed", u"thu", u"fri", u"sat"};
        const Weekly* weeklySchedule = static_cast<const Weekly*>(frequency);
        DOMElement* schedule = appendElement(doc, frequencyElement, u"weekly");
        setAttribute(schedule, u"every", std::to_string(weeklySchedule->getEvery()));
        appendTimeOfDay(doc, schedule, weeklySchedule->getTimeOfDay());
        schedule->setAttribute(u"day-of-week", word(days, 7, weeklySchedule->getDayOfWeek()));
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

void MonitoringConfiguration::generateActionTriggerElement(const ActionTrigger* trigger, DOMElement* triggerElem,
                                                           DOMDocument* doc)
{
    static const XMLCh* const valueTypes[] = {u"average", u"instantaneous", u"minimum", u"maximum"};
    static const XMLCh* const comparisons[] = {u"greater-than", u"less-than", u"equals", u"not-equals"};
    static const XMLCh* const intervals[] = {u"inside", u"outside"};
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    triggerElem->setAttribute(u"value-type", word(valueTypes, 4, trigger->getValueType()));
    triggerElem->setAttribute(u"permanent", trigger->isPermanent() ? u"true" : u"false");

    switch (trigger->isA()) {
    case singleValue: {
        const SingleValueTrigger* single = static_cast<const SingleValueTrigger*>(trigger);
        DOMElement* kind = appendElement(doc, triggerElem, u"single-value");
        kind->setAttribute(u"comparison", word(comparisons, 4, single->getComparisonType()));
        setAttribute(kind, u"value", single->getValue());
        break;
    }
    case intervalValue: {
        const IntervalValueTrigger* interval = static_cast<const IntervalValueTrigger*>(trigger);
        DOMElement* kind = appendElement(doc, triggerElem, u"interval-value");
        setAttribute(kind, u"low-value", interval->getLowValue());
        setAttribute(kind, u"high-value", interval->getHighValue());
        kind->setAttribute(u"inside-outside-range", word(intervals, 2, interval->getIntervalType()));
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

std::string MonitoringConfiguration::generate(const MonitorEntry& entry)
{
    return renderOrThrow([&entry] {
        DocumentPtr doc = createDocument(u"monitor-entry");
        generateMonitorEntryElement(entry, doc->getDocumentElement(), doc.get());
        return printReply(doc.get());
    });
}

std::string MonitoringConfiguration::generate(const ActionTrigger* trigger)
{
    return renderOrThrow([trigger] {
        DocumentPtr doc = createDocument(u"action-trigger");
        generateActionTriggerElement(trigger, doc->getDocumentElement(), doc.get());
        return printReply(doc.get());
    });
}

// ===========================================================================
// Atomic save

std::string followSymbolicLinks(const std::string& path)
{
    std::string current = path;
    // As many links as the kernel follows in one path; a longer chain or a
    // loop is left as it is and fails where it is used.
    for (int links = 0; links < 40; ++links) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return current;
        }
        std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
        ssize_t length = ::readlink(current.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return current;
        }
        target.resize(static_cast<std::size_t>(length));
        if (target[0] != '/') {
            std::string::size_type slash = current.find_last_of('/');
            target = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + target;
        }
        current = target;
    }
    return current;
}

namespace {

std::string directoryOf(const std::string& filename)
{
    std::string::size_type slash = filename.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : filename.substr(0, slash);
}

bool writeAll(int fd, const std::string& content)
{
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// Replaces filename with content so that a crash or a failure at any point
// leaves either the old file or the new one, whole: the content goes to a
// temporary file beside the target, is synced, and is renamed over it. A
// symbolic link is followed to the file it names (an administrator may keep
// the configuration elsewhere), so the link stays a link; the new file keeps
// the old one's owner, group and mode.
bool replaceFileAtomically(const std::string& linkOrFile, const std::string& content)
{
    static unsigned int sequence = 0;
    const std::string filename = followSymbolicLinks(linkOrFile);
    std::string::size_type slash = filename.find_last_of('/');
    std::string base = slash == std::string::npos ? filename : filename.substr(slash + 1);
    std::string prefix = filename.substr(0, filename.size() - base.size()) + "." + base + ".tmp.";

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = prefix + std::to_string(::getpid()) + "." + std::to_string(++sequence);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    struct stat old {};
    if (::stat(filename.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Set before the rename, so the file never shows other permissions.
        // Only root may give a file away; for anyone else it is no failure
        // when the ids are already the ones the new file got.
        struct stat created {};
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            ok = ::fstat(fd, &created) == 0 && created.st_uid == old.st_uid && created.st_gid == old.st_gid;
        }
        ok = ok && ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), filename.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable. Failing here cannot be undone any more
    // (the new file is in place), and some file systems refuse to sync a
    // directory at all, so the result is not checked.
    int directory = ::open(directoryOf(filename).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        (void)::fsync(directory);
        ::close(directory);
    }
    return true;
}

} // namespace

void MonitoringConfiguration::save(const std::vector<MonitorEntry>& entries, const std::string& filename)
{
    std::string content;
    try {
        // Entry by entry: a document tree of a large table would take many
        // times the file's size, and building it took longer than linear.
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
        content = text.str();
    } catch (...) {
        DetachXMLOutput();
        throw MonitoringException(std::string("cannot open file for writing"));
    }
    if (!replaceFileAtomically(filename, content)) {
        throw MonitoringException(std::string("cannot open file for writing"));
    }
}

// ===========================================================================
// Presets

xercesc::DOMNodeList* MonitoringConfiguration::loadPresets(const std::string& filename)
{
    std::unique_ptr<XercesDOMParser> parser = parseFile(filename, "preset file not found");
    if (parser == nullptr) {
        throw MonitoringException(std::string("preset parse did not work"));
    }
    DOMNodeList* presets = nullptr;
    if (DOMElement* root = const_cast<DOMElement*>(firstElementChild(parser->getDocument()))) {
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
