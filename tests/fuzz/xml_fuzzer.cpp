// Fuzzes the XML reader and writer with any bytes as a monitor entry and as
// an action trigger. Whatever parses must render, and the rendering must
// read back as an equal object that renders to the same text: a client that
// gets an entry and sets it back unchanged must change nothing.
//
// Each input is also read by the DOM reader and rendered by the DOM writer
// with the printer (configoracle.h): the SAX2 reader must give the same
// entries or the same failure, as an entry, as a trigger and as a whole
// configuration, and the direct writer the same bytes.
//
// The parser's error flag is process-wide and never cleared by the module,
// so after the first bad input every later parse would fail. Each parse
// here starts from a clean flag through the test-only reset.
#include "fuzz_check.h"
#include "configoracle.h"
#include "monitoring.h"
#include "xmlwriter.h"
#include "xmlenvironment.h"

#include <algorithm>
#include <cstdint>
#include <vector>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

namespace {

// The reporter writes one diagnostic per bad document to standard error;
// at fuzzing speed that is most of the time spent. Sanitizer reports and
// failed checks do not go through std::cerr and still show.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

std::string describe(const std::string& text) { return text.size() > 2000 ? text.substr(0, 2000) + "..." : text; }

bool sameAction(const Action& a, const Action& b)
{
    if (a.isUdp() != b.isUdp() || a.isTrap() != b.isTrap() || a.isShutdown() != b.isShutdown() ||
        a.isLog() != b.isLog() || a.isPowerOffDrive() != b.isPowerOffDrive() ||
        a.getMaxFrequency() != b.getMaxFrequency() || a.getEmailListSize() != b.getEmailListSize()) {
        return false;
    }
    for (int i = 0; i < a.getEmailListSize(); ++i) {
        if (a.getEmail(static_cast<unsigned int>(i)) != b.getEmail(static_cast<unsigned int>(i))) {
            return false;
        }
    }
    return true;
}

bool sameTrigger(const ActionTrigger* a, const ActionTrigger* b)
{
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    if (a->isA() != b->isA() || a->getValueType() != b->getValueType() || a->isPermanent() != b->isPermanent() ||
        !sameAction(a->getActionReference(), b->getActionReference())) {
        return false;
    }
    switch (a->isA()) {
    case singleValue: {
        auto x = static_cast<const SingleValueTrigger*>(a);
        auto y = static_cast<const SingleValueTrigger*>(b);
        return x->getComparisonType() == y->getComparisonType() && x->getValue() == y->getValue();
    }
    case intervalValue: {
        auto x = static_cast<const IntervalValueTrigger*>(a);
        auto y = static_cast<const IntervalValueTrigger*>(b);
        return x->getLowValue() == y->getLowValue() && x->getHighValue() == y->getHighValue() &&
               x->getIntervalType() == y->getIntervalType();
    }
    case valueChanges:
        return true;
    }
    return false;
}

bool sameTimeOfDay(const TimeOfDay& a, const TimeOfDay& b)
{
    return a.getHour() == b.getHour() && a.getMinutes() == b.getMinutes();
}

bool sameFrequency(const Frequency* a, const Frequency* b)
{
    FreqType kindA = a != nullptr ? a->isA() : noFreq;
    FreqType kindB = b != nullptr ? b->isA() : noFreq;
    if (kindA != kindB) {
        return false;
    }
    switch (kindA) {
    case seconds:
        return static_cast<const Seconds*>(a)->getSeconds() == static_cast<const Seconds*>(b)->getSeconds();
    case daily: {
        auto x = static_cast<const Daily*>(a);
        auto y = static_cast<const Daily*>(b);
        return x->getEvery() == y->getEvery() && sameTimeOfDay(x->getTimeOfDay(), y->getTimeOfDay());
    }
    case weekly: {
        auto x = static_cast<const Weekly*>(a);
        auto y = static_cast<const Weekly*>(b);
        return x->getEvery() == y->getEvery() && x->getDayOfWeek() == y->getDayOfWeek() &&
               sameTimeOfDay(x->getTimeOfDay(), y->getTimeOfDay());
    }
    case asynchronous:
    case noFreq:
        return true;
    }
    return false;
}

bool sameEntry(const MonitorEntry& a, const MonitorEntry& b)
{
    if (a.isLog() != b.isLog() || a.getVariableName() != b.getVariableName() ||
        !sameFrequency(a.getFrequency(), b.getFrequency()) ||
        a.getActionTriggerListLength() != b.getActionTriggerListLength()) {
        return false;
    }
    for (int i = 0; i < a.getActionTriggerListLength(); ++i) {
        if (!sameTrigger(a.getActionTrigger(static_cast<unsigned int>(i)),
                         b.getActionTrigger(static_cast<unsigned int>(i)))) {
            return false;
        }
    }
    return true;
}

// Parses input with parse (a pointer, null when the text names no trigger
// kind), renders it, and reads the rendering back.
template <typename Parse, typename Render, typename Same>
void roundTrip(const char* what, const std::string& input, Parse parse, Render render, Same same)
{
    resetXMLErrorsForTest();
    decltype(parse(input)) first, again;
    try {
        first = parse(input);
    } catch (const MonitoringException&) {
        return; // refused: the only way a bad document may end
    }
    if (first == nullptr) {
        return;
    }
    std::string text;
    try {
        text = render(*first);
    } catch (const MonitoringException& e) {
        FUZZ_CHECK(false, "%s that parsed does not render (%s):\n%s", what, e.getMessage().c_str(),
                   describe(input).c_str());
    }
    resetXMLErrorsForTest();
    try {
        again = parse(text);
    } catch (const MonitoringException& e) {
        FUZZ_CHECK(false, "%s does not parse once rendered (%s):\n%s", what, e.getMessage().c_str(),
                   describe(text).c_str());
    }
    FUZZ_CHECK(again != nullptr && same(*first, *again), "%s changed on its way through the text:\n%s\nrendered as\n%s",
               what, describe(input).c_str(), describe(text).c_str());
    FUZZ_CHECK(render(*again) == text, "%s renders differently the second time:\n%s", what, describe(text).c_str());
}

// What a read gives: the failure's message, or nothing when it succeeded.
template <typename Read>
std::string failureOf(Read read)
{
    resetXMLErrorsForTest();
    try {
        read();
    } catch (const MonitoringException& e) {
        return "failed: " + e.getMessage();
    }
    return "";
}

void compareWithDom(const std::string& input)
{
    MonitorEntry fast, reference;
    std::string fastFailure = failureOf([&] { fast = MonitoringConfiguration::parseMonitorEntry(input); });
    std::string referenceFailure = failureOf([&] { reference = configoracle::parseMonitorEntry(input); });
    FUZZ_CHECK(fastFailure == referenceFailure, "the readers disagree on an entry (%s / %s):\n%s",
               fastFailure.c_str(), referenceFailure.c_str(), describe(input).c_str());
    if (fastFailure.empty() && referenceFailure.empty()) {
        FUZZ_CHECK(sameEntry(fast, reference), "the readers read different entries:\n%s", describe(input).c_str());
        FUZZ_CHECK(MonitoringConfiguration::generate(fast) == configoracle::generate(fast),
                   "the writers render an entry differently:\n%s", describe(input).c_str());
        std::vector<MonitorEntry> table{fast, reference};
        FUZZ_CHECK(xmlwriter::document(table) == configoracle::document(table),
                   "the writers save a table differently:\n%s", describe(input).c_str());
    }

    std::unique_ptr<ActionTrigger> fastTrigger, referenceTrigger;
    fastFailure = failureOf([&] { fastTrigger.reset(MonitoringConfiguration::parseActionTrigger(input)); });
    referenceFailure = failureOf([&] { referenceTrigger = configoracle::parseActionTrigger(input); });
    FUZZ_CHECK(fastFailure == referenceFailure, "the readers disagree on a trigger (%s / %s):\n%s",
               fastFailure.c_str(), referenceFailure.c_str(), describe(input).c_str());
    if (fastFailure.empty()) {
        FUZZ_CHECK(sameTrigger(fastTrigger.get(), referenceTrigger.get()), "the readers read different triggers:\n%s",
                   describe(input).c_str());
        if (fastTrigger != nullptr) {
            FUZZ_CHECK(MonitoringConfiguration::generate(fastTrigger.get()) == configoracle::generate(fastTrigger.get()),
                       "the writers render a trigger differently:\n%s", describe(input).c_str());
        }
    }

    std::vector<MonitorEntry> fastTable, referenceTable;
    fastFailure = failureOf([&] { fastTable = MonitoringConfiguration::loadText(input); });
    referenceFailure = failureOf([&] { referenceTable = configoracle::load(input); });
    FUZZ_CHECK(fastFailure == referenceFailure, "the readers disagree on a configuration (%s / %s):\n%s",
               fastFailure.c_str(), referenceFailure.c_str(), describe(input).c_str());
    if (fastFailure.empty()) {
        FUZZ_CHECK(std::equal(fastTable.begin(), fastTable.end(), referenceTable.begin(), referenceTable.end(), sameEntry),
                   "the readers read different configurations:\n%s", describe(input).c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Never freed: the standard streams flush through it at exit.
    NullBuffer* discard = new NullBuffer;
    std::cerr.rdbuf(discard);
    MonitoringConfiguration::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    roundTrip(
        "an entry", input,
        [](const std::string& text) {
            return std::make_unique<MonitorEntry>(MonitoringConfiguration::parseMonitorEntry(text));
        },
        [](const MonitorEntry& entry) { return MonitoringConfiguration::generate(entry); }, sameEntry);
    roundTrip(
        "a trigger", input,
        [](const std::string& text) {
            return std::unique_ptr<ActionTrigger>(MonitoringConfiguration::parseActionTrigger(text));
        },
        [](const ActionTrigger& trigger) { return MonitoringConfiguration::generate(&trigger); },
        [](const ActionTrigger& a, const ActionTrigger& b) { return sameTrigger(&a, &b); });
    compareWithDom(input);
    return 0;
}
