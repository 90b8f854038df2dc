#include "xmlwriter.h"

#include "configfiles.h"
#include "vocabulary.h"
#include "xmlprinter.h"

#include <array>
#include <charconv>

namespace xmlwriter {
namespace {

// The printer's layout: an element with children opens with a line break
// after its start tag, and closes with one before and one after its end
// tag; an empty element is written as an empty-element tag and a line
// break. Text is written as it is, without breaks of its own. In the reply
// form no line break is written at all.
class Writer {
public:
    Writer(std::string& out, bool lines) : _out(out), _lines(lines) {}

    void open(const char* name)
    {
        _out += '<';
        _out += name;
    }
    void attribute(const char* name, const std::string& value)
    {
        _out += ' ';
        _out += name;
        _out += "=\"";
        escaped(value, true);
        _out += '"';
    }
    void attribute(const char* name, const char16_t* word)
    {
        _out += ' ';
        _out += name;
        _out += "=\"";
        for (; *word != 0; ++word) {
            _out += static_cast<char>(*word);
        }
        _out += '"';
    }
    void attribute(const char* name, bool flag) { attribute(name, flag ? u"true" : u"false"); }
    template <typename Number>
    void number(const char* name, Number value, bool twoDigits = false)
    {
        _out += ' ';
        _out += name;
        _out += "=\"";
        if (twoDigits && value >= 0 && value < 10) {
            _out += '0';
        }
        appendNumber(value);
        _out += '"';
    }
    template <typename Number>
    void appendNumber(Number value)
    {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        _out.append(digits, static_cast<std::size_t>(result.ptr - digits));
    }
    // Ends the start tag of an element that has children.
    void endStartTag()
    {
        _out += '>';
        lineBreak();
    }
    // Ends the start tag of an element without children.
    void endEmpty()
    {
        _out += "/>";
        lineBreak();
    }
    void empty(const char* name)
    {
        open(name);
        endEmpty();
    }
    void close(const char* name)
    {
        lineBreak();
        _out += "</";
        _out += name;
        _out += '>';
        lineBreak();
    }
    void textElement(const char* name, const std::string& text)
    {
        open(name);
        endStartTag();
        escaped(text, false);
        close(name);
    }
    void lineBreak()
    {
        if (_lines) {
            _out += '\n';
        }
    }

private:
    // The printer's escapes. In text: &, <, > and carriage returns. In an
    // attribute value: &, < and ", with tabs and line breaks as character
    // references. A value is the model's text up to its first NUL, as the
    // tree keeps it. Text with bytes beyond ASCII goes through the printer's
    // own formatter, which decides how bytes that are not UTF-8 are shown.
    void escaped(const std::string& value, bool inAttribute)
    {
        const std::size_t start = _out.size();
        const char* p = value.c_str();
        for (;;) {
            // The longest run that needs no escape, appended at once.
            const char* run = p;
            while (kPlain[static_cast<unsigned char>(*p)] != 0) {
                ++p;
            }
            _out.append(run, static_cast<std::size_t>(p - run));
            const char c = *p++;
            switch (c) {
            case '\0':
                if (p - 1 == value.c_str() + value.size() || !hasNonAscii(value)) {
                    return; // the end of the value, or a NUL that ends it
                }
                [[fallthrough]];
            default: // beyond ASCII
                _out.resize(start);
                AppendPrinterEscaped(_out, value, inAttribute);
                return;
            case '&':
                _out += "&amp;";
                break;
            case '<':
                _out += "&lt;";
                break;
            case '>':
                _out += inAttribute ? ">" : "&gt;";
                break;
            case '"':
                _out += inAttribute ? "&quot;" : "\"";
                break;
            case '\t':
                _out += inAttribute ? "&#9;" : "\t";
                break;
            case '\n':
                _out += inAttribute ? "&#10;" : "\n";
                break;
            case '\r':
                _out += inAttribute ? "&#13;" : "&#xD;";
                break;
            }
        }
    }

    static bool hasNonAscii(const std::string& value)
    {
        for (unsigned char c : value) {
            if (c >= 0x80) {
                return true;
            }
        }
        return false;
    }

    // Bytes written as they are, in text and in attribute values alike.
    static constexpr auto kPlain = [] {
        std::array<char, 256> plain {};
        for (int c = 1; c < 0x80; ++c) {
            plain[c] = c != '&' && c != '<' && c != '>' && c != '"' && c != '\t' && c != '\n' && c != '\r';
        }
        return plain;
    }();

    std::string& _out;
    bool _lines;
};

void writeTimeOfDay(Writer& writer, const TimeOfDay& timeOfDay)
{
    writer.open("time-of-day");
    writer.number("hour", timeOfDay.getHour());
    writer.number("min", timeOfDay.getMinutes(), true);
    writer.endEmpty();
}

void writeFrequency(Writer& writer, const Frequency* frequency)
{
    const FreqType kind = frequency != nullptr ? frequency->isA() : noFreq;
    if (kind == noFreq) {
        // Reads back as no schedule.
        writer.empty("frequency");
        return;
    }
    writer.open("frequency");
    writer.endStartTag();
    switch (kind) {
    case asynchronous:
        writer.empty("asynchronous");
        break;
    case seconds:
        writer.open("seconds");
        writer.endStartTag();
        writer.appendNumber(static_cast<const Seconds*>(frequency)->getSeconds());
        writer.close("seconds");
        break;
    case daily: {
        const Daily* schedule = static_cast<const Daily*>(frequency);
        writer.open("daily");
        writer.number("every", schedule->getEvery());
        writer.endStartTag();
        writeTimeOfDay(writer, schedule->getTimeOfDay());
        writer.close("daily");
        break;
    }
    case weekly: {
        const Weekly* schedule = static_cast<const Weekly*>(frequency);
        writer.open("weekly");
        writer.number("every", schedule->getEvery());
        writer.attribute("day-of-week", vocabulary::word(vocabulary::kDays, schedule->getDayOfWeek()));
        writer.endStartTag();
        writeTimeOfDay(writer, schedule->getTimeOfDay());
        writer.close("weekly");
        break;
    }
    case noFreq:
        break;
    }
    writer.close("frequency");
}

void writeAction(Writer& writer, const Action& action)
{
    writer.open("action");
    writer.number("max-frequency", action.getMaxFrequency());
    if (action.getEmailListSize() == 0 && !action.isShutdown() && !action.isTrap() && !action.isUdp() &&
        !action.isLog() && !action.isPowerOffDrive()) {
        writer.endEmpty();
        return;
    }
    writer.endStartTag();
    for (int i = 0; i < action.getEmailListSize(); ++i) {
        writer.textElement("email", action.getEmail(static_cast<unsigned int>(i)));
    }
    const std::pair<bool, const char*> flags[] = {{action.isShutdown(), "shutdown"},
                                                  {action.isTrap(), "trap"},
                                                  {action.isUdp(), "udp"},
                                                  {action.isLog(), "log"},
                                                  {action.isPowerOffDrive(), "power-off-drive"}};
    for (const auto& [set, name] : flags) {
        if (set) {
            writer.empty(name);
        }
    }
    writer.close("action");
}

void writeTrigger(Writer& writer, const ActionTrigger* trigger)
{
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    writer.open("action-trigger");
    writer.attribute("value-type", vocabulary::word(vocabulary::kValueTypes, trigger->getValueType()));
    writer.attribute("permanent", trigger->isPermanent());
    writer.endStartTag();
    switch (trigger->isA()) {
    case singleValue: {
        const auto* single = static_cast<const SingleValueTrigger*>(trigger);
        writer.open("single-value");
        writer.attribute("comparison", vocabulary::word(vocabulary::kComparisons, single->getComparisonType()));
        writer.attribute("value", single->getValue());
        writer.endEmpty();
        break;
    }
    case intervalValue: {
        const auto* interval = static_cast<const IntervalValueTrigger*>(trigger);
        writer.open("interval-value");
        writer.attribute("low-value", interval->getLowValue());
        writer.attribute("high-value", interval->getHighValue());
        writer.attribute("inside-outside-range", vocabulary::word(vocabulary::kIntervals, interval->getIntervalType()));
        writer.endEmpty();
        break;
    }
    case valueChanges:
        writer.empty("value-changes");
        break;
    }
    writeAction(writer, trigger->getActionReference());
    writer.close("action-trigger");
}

void writeEntry(Writer& writer, const MonitorEntry& entry)
{
    writer.open("monitor-entry");
    writer.attribute("variable", entry.getVariableName());
    writer.attribute("log", entry.isLog());
    writer.endStartTag();
    writeFrequency(writer, entry.getFrequency());
    for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
        writeTrigger(writer, entry.getActionTrigger(static_cast<unsigned int>(i)));
    }
    writer.close("monitor-entry");
}

} // namespace

void appendEntry(std::string& out, const MonitorEntry& entry, bool lines)
{
    Writer writer(out, lines);
    writeEntry(writer, entry);
}

void appendTrigger(std::string& out, const ActionTrigger* trigger, bool lines)
{
    Writer writer(out, lines);
    writeTrigger(writer, trigger);
}

void writeDocument(const std::vector<MonitorEntry>& entries, const std::function<void(std::string&)>& flush)
{
    // The declaration and the root are each followed by the line break that
    // the printer puts after every child of the document.
    std::string out;
    out.reserve(kFlushBytes + 64 * 1024);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n";
    if (entries.empty()) {
        out += "<monitor-config/>\n\n";
        flush(out);
        return;
    }
    Writer writer(out, true);
    writer.open("monitor-config");
    writer.endStartTag();
    for (const MonitorEntry& entry : entries) {
        writeEntry(writer, entry);
        if (out.size() >= kFlushBytes) {
            flush(out);
            out.clear();
        }
    }
    writer.close("monitor-config");
    out += '\n';
    flush(out);
}

std::string document(const std::vector<MonitorEntry>& entries)
{
    std::string whole;
    writeDocument(entries, [&whole](std::string& part) { whole += part; });
    return whole;
}

} // namespace xmlwriter

std::string MonitoringConfiguration::generate(const MonitorEntry& entry)
{
    std::string out;
    out.reserve(1024);
    xmlwriter::appendEntry(out, entry, false);
    return out;
}

std::string MonitoringConfiguration::generate(const ActionTrigger* trigger)
{
    std::string out;
    xmlwriter::appendTrigger(out, trigger, false);
    return out;
}

// The document goes to the temporary file in parts as it is written, so a
// large table is never held twice; a failure at any point (of the writer or
// of the disk) leaves the old file whole.
void MonitoringConfiguration::save(const std::vector<MonitorEntry>& entries, const std::string& filename)
{
    bool written = false;
    try {
        written = replaceFileAtomically(filename, [&entries](int fd) {
            bool ok = true;
            xmlwriter::writeDocument(entries, [&ok, fd](std::string& part) {
                ok = ok && writeAll(fd, part);
            });
            return ok;
        });
    } catch (...) {
        written = false;
    }
    if (!written) {
        throw MonitoringException(std::string("cannot open file for writing"));
    }
}
