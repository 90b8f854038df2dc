// How an entry and a trigger are read from their elements: the lenient
// first-match rules of the configuration vocabulary, written once over a
// view of the elements. The SAX2 reader runs them over the compact element
// tree it keeps of one entry (reader.cpp); the host-side reader of single
// texts (hostparse.cpp) runs them over a document tree (domview.h).
//
// A view offers, for its Node type (an element, or none()):
//   Node none(); bool valid(Node);
//   Node firstElementChild(Node);
//   void forEachBelow(Node, const XMLCh* name, visit): the elements of that
//       name below the node, in document order, until visit returns false;
//   const XMLCh* name(Node); const XMLCh* attribute(Node, name) ("" when absent);
//   bool valueText(Node, std::string&): its text and CDATA children joined,
//       false when it holds none.
#pragma once

#include "monitoring.h"
#include "vocabulary.h"
#include "xmltext.h"

#include <xercesc/util/XMLString.hpp>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

namespace entryrules {

// Numbers read as strtol reads them: white space, sign and digits, the rest
// ignored, no digits giving 0. Out-of-range values saturate at the ends of
// the field's own range: a signed field at the 32-bit signed limits, an
// unsigned one at INT_MIN..UINT_MAX, a negative number then taking its
// two's-complement value as the unsigned setters always received it. So
// every number the writer prints for a field reads back as itself, and "-1"
// as an hour still becomes a huge value that the setter refuses.
inline long long readNumber(const std::string& narrow, bool isUnsigned)
{
    const long long value = std::strtoll(narrow.c_str(), nullptr, 10);
    const long long high = isUnsigned ? static_cast<long long>(UINT_MAX) : INT_MAX;
    return value > high ? high : value < INT_MIN ? INT_MIN : value;
}

// White space around an address is layout, not part of it: saved files put
// each address on a line of its own.
inline std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

template <class View>
class Rules {
public:
    using Node = typename View::Node;
    explicit Rules(const View& view) : _v(view) {}

    MonitorEntry entry(Node element) const
    {
        MonitorEntry entry;
        if (!_v.valid(element)) {
            return entry;
        }
        // The log flag goes first, so the logging rule sees its final value.
        entry.setLog(is(element, u"log", u"true"));
        entry.setVariableName(text(element, u"variable"));

        std::unique_ptr<Frequency> schedule = readSchedule(_v.firstElementChild(firstBelow(element, u"frequency")));
        if (schedule != nullptr) {
            entry.setFrequency(schedule.get());
        }
        _v.forEachBelow(element, u"action-trigger", [&](Node triggerElement) {
            std::unique_ptr<ActionTrigger> built = trigger(triggerElement);
            entry.addActionTrigger(built.get());
            return true;
        });
        return entry;
    }

    std::unique_ptr<ActionTrigger> trigger(Node element) const
    {
        if (!_v.valid(element)) {
            return nullptr;
        }
        TriggerValueType valueType = instantaneous;
        for (int type = average; type <= maximum; ++type) {
            if (type != instantaneous && is(element, u"value-type", vocabulary::kValueTypes[type])) {
                valueType = static_cast<TriggerValueType>(type);
            }
        }
        const bool permanent = is(element, u"permanent", u"true");
        Action action = readAction(element);

        std::unique_ptr<ActionTrigger> trigger;
        if (Node single = firstBelow(element, u"single-value"); _v.valid(single)) {
            auto singleTrigger = std::make_unique<SingleValueTrigger>();
            singleTrigger->setValueType(valueType);
            for (int comparison = greaterThan; comparison <= notEquals; ++comparison) {
                if (is(single, u"comparison", vocabulary::kComparisons[comparison])) {
                    singleTrigger->setComparisonType(static_cast<TriggerComparisonType>(comparison));
                }
            }
            singleTrigger->setValue(text(single, u"value"));
            trigger = std::move(singleTrigger);
        } else if (Node interval = firstBelow(element, u"interval-value"); _v.valid(interval)) {
            auto intervalTrigger = std::make_unique<IntervalValueTrigger>();
            intervalTrigger->setValueType(valueType);
            intervalTrigger->setLowValue(text(interval, u"low-value"));
            intervalTrigger->setHighValue(text(interval, u"high-value"));
            for (int range = inside; range <= outside; ++range) {
                if (is(interval, u"inside-outside-range", vocabulary::kIntervals[range])) {
                    intervalTrigger->setIntervalType(static_cast<IntervalType>(range));
                }
            }
            trigger = std::move(intervalTrigger);
        } else if (_v.valid(firstBelow(element, u"value-changes"))) {
            trigger = std::make_unique<ValueChangesTrigger>();
            trigger->setValueType(valueType);
        } else {
            return nullptr;
        }
        trigger->setAction(action);
        trigger->setPermanent(permanent);
        return trigger;
    }

private:
    Node firstBelow(Node element, const XMLCh* name) const
    {
        Node found = _v.none();
        if (_v.valid(element)) {
            _v.forEachBelow(element, name, [&found](Node match) {
                found = match;
                return false;
            });
        }
        return found;
    }

    bool is(Node element, const XMLCh* name, const XMLCh* value) const
    {
        return _v.valid(element) && xercesc::XMLString::equals(_v.attribute(element, name), value);
    }

    std::string text(Node element, const XMLCh* name) const
    {
        return _v.valid(element) ? toNarrow(_v.attribute(element, name)) : std::string();
    }

    unsigned int unsignedAttribute(Node element, const XMLCh* name) const
    {
        return static_cast<unsigned int>(readNumber(text(element, name), true));
    }

    int signedAttribute(Node element, const XMLCh* name) const
    {
        return static_cast<int>(readNumber(text(element, name), false));
    }

    TimeOfDay readTimeOfDay(Node timeElement) const
    {
        TimeOfDay timeOfDay;
        timeOfDay.setHour(unsignedAttribute(timeElement, u"hour"));
        timeOfDay.setMinutes(unsignedAttribute(timeElement, u"min"));
        return timeOfDay;
    }

    std::unique_ptr<Frequency> readSchedule(Node schedule) const
    {
        if (!_v.valid(schedule)) {
            return nullptr;
        }
        const XMLCh* name = _v.name(schedule);
        if (xercesc::XMLString::equals(name, u"seconds")) {
            // An empty seconds element leaves the entry without a schedule
            // rather than inventing a period.
            std::string period;
            if (!_v.valueText(schedule, period)) {
                return nullptr;
            }
            auto seconds = std::make_unique<Seconds>();
            seconds->setSeconds(static_cast<unsigned int>(readNumber(period, true)));
            return seconds;
        }
        if (xercesc::XMLString::equals(name, u"daily")) {
            auto daily = std::make_unique<Daily>();
            TimeOfDay timeOfDay = readTimeOfDay(firstBelow(schedule, u"time-of-day"));
            daily->setEvery(signedAttribute(schedule, u"every"));
            daily->setTimeOfDay(timeOfDay);
            return daily;
        }
        if (xercesc::XMLString::equals(name, u"weekly")) {
            auto weekly = std::make_unique<Weekly>();
            Node timeElement = firstBelow(schedule, u"time-of-day");
            weekly->setEvery(signedAttribute(schedule, u"every"));
            TimeOfDay timeOfDay = readTimeOfDay(timeElement);
            for (int day = sun; day <= sat; ++day) {
                if (is(schedule, u"day-of-week", vocabulary::kDays[day])) {
                    weekly->setDayOfWeek(static_cast<DayOfWeek>(day));
                }
            }
            weekly->setTimeOfDay(timeOfDay);
            return weekly;
        }
        if (xercesc::XMLString::equals(name, u"asynchronous")) {
            return std::make_unique<Asynchronous>();
        }
        return nullptr;
    }

    Action readAction(Node triggerElement) const
    {
        Action action;
        Node actionElement = firstBelow(triggerElement, u"action");
        if (!_v.valid(actionElement)) {
            return action;
        }
        action.setMaxFrequency(unsignedAttribute(actionElement, u"max-frequency"));
        // Addresses and flags count wherever they stand below the trigger.
        _v.forEachBelow(triggerElement, u"email", [&](Node email) {
            std::string address;
            _v.valueText(email, address);
            address = trimmed(address);
            if (!address.empty()) {
                action.addEmail(address);
            }
            return true;
        });
        if (_v.valid(firstBelow(triggerElement, u"shutdown"))) {
            SetShutdown(true, action);
        }
        if (_v.valid(firstBelow(triggerElement, u"trap"))) {
            action.setTrap(true);
        }
        if (_v.valid(firstBelow(triggerElement, u"udp"))) {
            action.setUdp(true);
        }
        if (_v.valid(firstBelow(triggerElement, u"log"))) {
            action.setLog(true);
        }
        if (_v.valid(firstBelow(triggerElement, u"power-off-drive"))) {
            action.setPowerOffDrive(true);
        }
        return action;
    }

    const View& _v;
};

} // namespace entryrules
