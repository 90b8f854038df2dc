#include "configtext.h"

#include "monitoring.h"

#include <memory>

#include <cstdlib>
#include <sstream>

namespace console {

namespace {

struct Tag {
    std::string name;
    bool closing = false;
    bool empty = false;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text; ///< character data up to the next tag
};

std::string unescapeXml(const std::string& text)
{
    static const std::pair<const char*, char> refs[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool done = false;
        if (text[i] == '&') {
            for (const auto& [ref, c] : refs) {
                if (text.compare(i, std::char_traits<char>::length(ref), ref) == 0) {
                    out += c;
                    i += std::char_traits<char>::length(ref);
                    done = true;
                    break;
                }
            }
            if (!done && i + 2 < text.size() && text[i + 1] == '#') {
                size_t end = text.find(';', i);
                if (end != std::string::npos) {
                    bool hex = text[i + 2] == 'x';
                    long code = std::strtol(text.c_str() + i + (hex ? 3 : 2), nullptr, hex ? 16 : 10);
                    if (code > 0 && code < 128) {
                        out += static_cast<char>(code);
                        i = end + 1;
                        done = true;
                    }
                }
            }
        }
        if (!done) {
            out += text[i++];
        }
    }
    return out;
}

/// The tags of a document in order, comments and declarations left out.
std::vector<Tag> scan(const std::string& xml)
{
    std::vector<Tag> tags;
    size_t i = 0;
    while ((i = xml.find('<', i)) != std::string::npos) {
        if (xml.compare(i, 4, "<!--") == 0) {
            size_t end = xml.find("-->", i);
            i = end == std::string::npos ? xml.size() : end + 3;
            continue;
        }
        // A '>' may stand unescaped inside an attribute value.
        size_t end = i + 1;
        char quote = 0;
        for (; end < xml.size(); ++end) {
            char c = xml[end];
            if (quote != 0) {
                quote = c == quote ? 0 : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (end >= xml.size()) {
            break;
        }
        std::string inner = xml.substr(i + 1, end - i - 1);
        i = end + 1;
        if (inner.empty() || inner[0] == '?' || inner[0] == '!') {
            continue;
        }
        Tag tag;
        if (inner[0] == '/') {
            tag.closing = true;
            inner.erase(0, 1);
        }
        if (!inner.empty() && inner.back() == '/') {
            tag.empty = true;
            inner.pop_back();
        }
        size_t p = inner.find_first_of(" \t\r\n");
        tag.name = inner.substr(0, p);
        while (p != std::string::npos && p < inner.size()) {
            size_t eq = inner.find('=', p);
            if (eq == std::string::npos) {
                break;
            }
            size_t nameStart = inner.find_first_not_of(" \t\r\n", p);
            std::string name = inner.substr(nameStart, eq - nameStart);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
                name.pop_back();
            }
            size_t q = inner.find_first_of("\"'", eq);
            if (q == std::string::npos) {
                break;
            }
            size_t qe = inner.find(inner[q], q + 1);
            if (qe == std::string::npos) {
                break;
            }
            tag.attributes.emplace_back(name, unescapeXml(inner.substr(q + 1, qe - q - 1)));
            p = qe + 1;
        }
        size_t next = xml.find('<', i);
        tag.text = unescapeXml(xml.substr(i, (next == std::string::npos ? xml.size() : next) - i));
        tags.push_back(std::move(tag));
    }
    return tags;
}

std::string attr(const Tag& tag, const std::string& name)
{
    for (const auto& [n, v] : tag.attributes) {
        if (n == name) {
            return v;
        }
    }
    return "";
}

std::string trim(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

/// Reads the trigger whose opening tag is tags[*at]; leaves *at after its end.
void readTriggerTags(const std::vector<Tag>& tags, size_t* at, TriggerForm* t)
{
    const Tag& open = tags[*at];
    t->valueType = attr(open, "value-type").empty() ? "instantaneous" : attr(open, "value-type");
    t->permanent = attr(open, "permanent") == "true";
    t->kind.clear();
    size_t i = *at + 1;
    if (open.empty) {
        *at = i;
        return;
    }
    for (; i < tags.size(); ++i) {
        const Tag& tag = tags[i];
        if (tag.name == "action-trigger" && tag.closing) {
            ++i;
            break;
        }
        if (tag.closing) {
            continue;
        }
        if (tag.name == "single-value") {
            t->kind = tag.name;
            t->comparison = attr(tag, "comparison");
            t->value = attr(tag, "value");
        } else if (tag.name == "interval-value") {
            t->kind = tag.name;
            t->lowValue = attr(tag, "low-value");
            t->highValue = attr(tag, "high-value");
            t->range = attr(tag, "inside-outside-range");
        } else if (tag.name == "value-changes") {
            t->kind = tag.name;
        } else if (tag.name == "action") {
            t->maxFrequency = std::strtol(attr(tag, "max-frequency").c_str(), nullptr, 10);
        } else if (tag.name == "email") {
            if (!tag.empty) {
                t->emails.push_back(trim(tag.text));
            }
        } else if (tag.name == "log") {
            t->log = true;
        } else if (tag.name == "udp") {
            t->udp = true;
        } else if (tag.name == "trap") {
            t->trap = true;
        } else if (tag.name == "shutdown") {
            t->shutdown = true;
        } else if (tag.name == "power-off-drive") {
            t->powerOffDrive = true;
        }
    }
    *at = i;
}

} // namespace

std::string escapeXml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

bool readTrigger(const std::string& xml, TriggerForm* out)
{
    std::vector<Tag> tags = scan(xml);
    for (size_t i = 0; i < tags.size(); ++i) {
        if (tags[i].name == "action-trigger" && !tags[i].closing) {
            *out = TriggerForm{};
            readTriggerTags(tags, &i, out);
            return !out->kind.empty();
        }
    }
    return false;
}

bool readEntry(const std::string& xml, EntryForm* out)
{
    std::vector<Tag> tags = scan(xml);
    if (tags.empty() || tags[0].name != "monitor-entry" || tags[0].closing) {
        return false;
    }
    *out = EntryForm{};
    out->variable = attr(tags[0], "variable");
    out->log = attr(tags[0], "log") == "true";
    out->schedule = "none";
    for (size_t i = 1; i < tags.size();) {
        const Tag& tag = tags[i];
        if (tag.closing) {
            ++i;
            continue;
        }
        if (tag.name == "seconds") {
            out->schedule = "seconds";
            out->seconds = std::strtol(tag.text.c_str(), nullptr, 10);
        } else if (tag.name == "asynchronous") {
            out->schedule = "asynchronous";
        } else if (tag.name == "daily" || tag.name == "weekly") {
            out->schedule = tag.name;
            out->every = std::strtol(attr(tag, "every").c_str(), nullptr, 10);
            if (tag.name == "weekly") {
                out->dayOfWeek = attr(tag, "day-of-week");
            }
        } else if (tag.name == "time-of-day") {
            out->hour = std::atoi(attr(tag, "hour").c_str());
            out->minute = std::atoi(attr(tag, "min").c_str());
        } else if (tag.name == "action-trigger") {
            TriggerForm t;
            readTriggerTags(tags, &i, &t);
            out->triggers.push_back(std::move(t));
            continue;
        }
        ++i;
    }
    return true;
}

bool readPreset(const std::string& xml, PresetForm* out)
{
    std::vector<Tag> tags = scan(xml);
    if (tags.empty() || tags[0].name != "preset-variable") {
        return false;
    }
    *out = PresetForm{};
    out->name = attr(tags[0], "name");
    out->variable = attr(tags[0], "variable");
    out->unit = attr(tags[0], "unit");
    out->description = attr(tags[0], "description");
    return readTrigger(xml, &out->trigger);
}

std::string triggerXml(const TriggerForm& t)
{
    std::string x = "<action-trigger value-type=\"" + escapeXml(t.valueType) + "\" permanent=\"" +
                    (t.permanent ? "true" : "false") + "\">";
    if (t.kind == "interval-value") {
        x += "<interval-value low-value=\"" + escapeXml(t.lowValue) + "\" high-value=\"" + escapeXml(t.highValue) +
             "\" inside-outside-range=\"" + escapeXml(t.range) + "\"/>";
    } else if (t.kind == "value-changes") {
        x += "<value-changes/>";
    } else {
        x += "<single-value comparison=\"" + escapeXml(t.comparison) + "\" value=\"" + escapeXml(t.value) + "\"/>";
    }
    x += "<action max-frequency=\"" + std::to_string(t.maxFrequency) + "\">";
    for (const std::string& e : t.emails) {
        x += "<email>" + escapeXml(e) + "</email>";
    }
    if (t.shutdown) x += "<shutdown/>";
    if (t.trap) x += "<trap/>";
    if (t.udp) x += "<udp/>";
    if (t.log) x += "<log/>";
    if (t.powerOffDrive) x += "<power-off-drive/>";
    return x + "</action></action-trigger>";
}

std::string entryXml(const EntryForm& e)
{
    std::string x = "<monitor-entry variable=\"" + escapeXml(e.variable) + "\" log=\"" + (e.log ? "true" : "false") +
                    "\"><frequency>";
    char time[96];
    std::snprintf(time, sizeof time, "<time-of-day hour=\"%d\" min=\"%02d\"/>", e.hour, e.minute);
    if (e.schedule == "seconds") {
        x += "<seconds>" + std::to_string(e.seconds) + "</seconds>";
    } else if (e.schedule == "asynchronous") {
        x += "<asynchronous/>";
    } else if (e.schedule == "daily") {
        x += "<daily every=\"" + std::to_string(e.every) + "\">" + time + "</daily>";
    } else if (e.schedule == "weekly") {
        x += "<weekly every=\"" + std::to_string(e.every) + "\" day-of-week=\"" + escapeXml(e.dayOfWeek) + "\">" +
             time + "</weekly>";
    }
    x += "</frequency>";
    for (const TriggerForm& t : e.triggers) {
        x += triggerXml(t);
    }
    return x + "</monitor-entry>";
}

std::string describeTrigger(const TriggerForm& t)
{
    std::string what = t.valueType == "instantaneous" ? "value" : t.valueType;
    std::string s;
    if (t.kind == "value-changes") {
        s = "value changes";
    } else if (t.kind == "interval-value") {
        s = what + (t.range == "outside" ? " outside " : " inside ") + t.lowValue + " to " + t.highValue;
    } else {
        std::string cmp = t.comparison == "less-than" ? "below"
                          : t.comparison == "equals"  ? "equals"
                          : t.comparison == "not-equals" ? "differs from"
                                                          : "above";
        s = what + " " + cmp + " " + t.value;
    }
    if (t.permanent && t.kind != "value-changes") {
        s += " (every sample while it holds)";
    }
    std::vector<std::string> actions;
    if (!t.emails.empty()) {
        std::string list;
        for (const std::string& e : t.emails) {
            list += (list.empty() ? "" : ", ") + e;
        }
        actions.push_back("e-mail " + list);
    }
    if (t.log) actions.push_back("log");
    if (t.udp) actions.push_back("UDP message");
    if (t.trap) actions.push_back("trap");
    if (t.shutdown) actions.push_back("shut down");
    if (t.powerOffDrive) actions.push_back("power off drive");
    s += ": ";
    if (actions.empty()) {
        s += "no action";
    }
    for (size_t i = 0; i < actions.size(); ++i) {
        s += (i ? ", " : "") + actions[i];
    }
    if (t.maxFrequency > 0) {
        s += "; at most once in " + std::to_string(t.maxFrequency) + " s";
    }
    return s;
}

std::string describeSchedule(const EntryForm& e)
{
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d", e.hour % 100, e.minute % 100);
    if (e.schedule == "seconds") return "every " + std::to_string(e.seconds) + " s";
    if (e.schedule == "asynchronous") return "every monitoring interval";
    if (e.schedule == "daily") return "daily at " + std::string(time) + ", every " + std::to_string(e.every) + " day(s)";
    if (e.schedule == "weekly")
        return "weekly on " + e.dayOfWeek + " at " + time + ", every " + std::to_string(e.every) + " week(s)";
    return "not sampled";
}

ActionTrigger* makeModelTrigger(const TriggerForm& t)
{
    ActionTrigger* trigger = nullptr;
    if (t.kind == "interval-value") {
        auto* iv = new IntervalValueTrigger();
        iv->setLowValue(t.lowValue);
        iv->setHighValue(t.highValue);
        iv->setIntervalType(t.range == "outside" ? outside : inside);
        trigger = iv;
    } else if (t.kind == "value-changes") {
        trigger = new ValueChangesTrigger();
    } else {
        auto* sv = new SingleValueTrigger();
        sv->setComparisonType(t.comparison == "less-than"    ? lessThan
                              : t.comparison == "equals"     ? equals
                              : t.comparison == "not-equals" ? notEquals
                                                             : greaterThan);
        sv->setValue(t.value);
        trigger = sv;
    }
    trigger->setValueType(t.valueType == "average"   ? average
                          : t.valueType == "minimum" ? minimum
                          : t.valueType == "maximum" ? maximum
                                                     : instantaneous);
    trigger->setPermanent(t.permanent);
    Action& action = trigger->getActionReference();
    action.setMaxFrequency(static_cast<unsigned>(t.maxFrequency < 0 ? 0 : t.maxFrequency));
    action.setLog(t.log);
    action.setUdp(t.udp);
    action.setTrap(t.trap);
    action.setPowerOffDrive(t.powerOffDrive);
    for (const std::string& e : t.emails) {
        action.addEmail(e);
    }
    return trigger;
}

TryResult tryTrigger(const std::string& variable, const TriggerForm& trigger, const std::vector<LogPoint>& samples,
                     long interval)
{
    std::unique_ptr<ActionTrigger> modelTrigger(makeModelTrigger(trigger));
    return zormon::tryTrigger(variable, *modelTrigger, samples, interval);
}

} // namespace console
