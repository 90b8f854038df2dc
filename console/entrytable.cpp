#include "entrytable.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace console {

namespace {

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool hasAction(const TriggerForm& t, const std::string& kind)
{
    if (kind == "email") return !t.emails.empty();
    if (kind == "log") return t.log;
    if (kind == "udp") return t.udp;
    if (kind == "trap") return t.trap;
    if (kind == "shutdown") return t.shutdown;
    if (kind == "power-off-drive") return t.powerOffDrive;
    return false;
}

bool xmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool nameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

/// The character a reference (the text after '&' up to ';') stands for,
/// when it is one of ASCII; 0 otherwise.
char referenced(const std::string& name)
{
    static const std::pair<const char*, char> named[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [word, c] : named) {
        if (name == word) return c;
    }
    if (name.size() < 2 || name[0] != '#') return 0;
    const bool hex = name[1] == 'x';
    const std::string digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 6) return 0;
    char* end = nullptr;
    const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
    return *end == 0 && std::isxdigit(static_cast<unsigned char>(digits[0])) && code > 0 && code < 0x80
               ? static_cast<char>(code)
               : 0;
}

/// An attribute value as the parser hands it over, references replaced;
/// false when that is not sure from here (characters beyond ASCII, which the
/// reader transcodes, and literal white space, which it normalizes).
bool decodedAttribute(const std::string& raw, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\t' || c == '\n' || c == '\r' || c == '<') return false;
        if (c != '&') {
            out->push_back(c);
            continue;
        }
        const size_t end = raw.find(';', i);
        const char decoded = end == std::string::npos ? 0 : referenced(raw.substr(i + 1, end - i - 1));
        if (decoded == 0) return false;
        out->push_back(decoded);
        i = end;
    }
    return true;
}

/// The variable attribute of the text's monitor-entry root element, decoded;
/// false when the text is not plain enough to tell it without the parser.
bool variableAttribute(const std::string& xml, std::string* out)
{
    size_t i = xml.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (;;) { // the declaration, processing instructions and comments before the root
        while (i < xml.size() && xmlSpace(xml[i])) ++i;
        const bool instruction = xml.compare(i, 2, "<?") == 0, comment = xml.compare(i, 4, "<!--") == 0;
        if (!instruction && !comment) break;
        i = xml.find(instruction ? "?>" : "-->", i + 2);
        if (i == std::string::npos) return false;
        i += instruction ? 2 : 3;
    }
    static const std::string root = "<monitor-entry";
    if (xml.compare(i, root.size(), root) != 0) return false;
    i += root.size();
    while (i < xml.size()) {
        if (!xmlSpace(xml[i])) return false; // the end of the tag, or something odd: no variable seen
        while (i < xml.size() && xmlSpace(xml[i])) ++i;
        const size_t name = i;
        while (i < xml.size() && nameChar(xml[i])) ++i;
        if (i == name) return false;
        const std::string attribute = xml.substr(name, i - name);
        while (i < xml.size() && xmlSpace(xml[i])) ++i;
        if (i >= xml.size() || xml[i] != '=') return false;
        ++i;
        while (i < xml.size() && xmlSpace(xml[i])) ++i;
        if (i >= xml.size() || (xml[i] != '"' && xml[i] != '\'')) return false;
        const size_t close = xml.find(xml[i], i + 1);
        if (close == std::string::npos) return false;
        if (attribute == "variable") return decodedAttribute(xml.substr(i + 1, close - i - 1), out);
        i = close + 1;
    }
    return false;
}

/// Whether an element of that name starts anywhere in the text.
bool namesElement(const std::string& xml, const std::string& name)
{
    const std::string open = "<" + name;
    for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
        const size_t after = at + open.size();
        if (after >= xml.size() || xmlSpace(xml[after]) || xml[after] == '/' || xml[after] == '>') return true;
    }
    return false;
}

size_t number(const std::string& text, size_t fallback)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return fallback;
    return std::strtoul(text.c_str(), nullptr, 10);
}

// The lengths of the runs both tables share at the front and at the back;
// the back run never reaches into the front one.
std::pair<size_t, size_t> sharedEnds(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    size_t shortest = std::min(a.size(), b.size());
    size_t front = 0;
    while (front < shortest && a[front] == b[front]) ++front;
    size_t back = 0;
    while (back < shortest - front && a[a.size() - 1 - back] == b[b.size() - 1 - back]) ++back;
    return {front, back};
}

} // namespace

const std::vector<std::string>& actionKinds()
{
    static const std::vector<std::string> kinds = {"email", "log", "udp", "trap", "shutdown", "power-off-drive"};
    return kinds;
}

EntryQuery entryQuery(const std::function<std::string(const std::string&)>& param)
{
    EntryQuery query;
    query.offset = number(param("offset"), 0);
    query.limit = std::min(std::max<size_t>(number(param("limit"), EntryQuery::kDefaultLimit), 1),
                           EntryQuery::kMostLimit);
    query.q = param("q");
    const auto& kinds = actionKinds();
    if (std::find(kinds.begin(), kinds.end(), param("action")) != kinds.end()) query.action = param("action");
    return query;
}

bool matches(const EntryForm& entry, const EntryQuery& query)
{
    if (!query.q.empty() && lower(entry.variable).find(lower(query.q)) == std::string::npos) return false;
    if (query.action.empty()) return true;
    return std::any_of(entry.triggers.begin(), entry.triggers.end(),
                       [&query](const TriggerForm& t) { return hasAction(t, query.action); });
}

bool mayMatch(const std::string& xml, const EntryQuery& query)
{
    // A document type may define entities that stand for any text or markup.
    if (xml.find("<!DOCTYPE") != std::string::npos) return true;
    if (!query.q.empty()) {
        std::string variable;
        if (variableAttribute(xml, &variable) && lower(variable).find(lower(query.q)) == std::string::npos) {
            return false;
        }
    }
    // The action kinds are the names of their elements, which the reader
    // finds wherever they stand below a trigger.
    return query.action.empty() || namesElement(xml, query.action);
}

void addToSlice(EntrySlice& slice, size_t index, const std::string& xml, const EntryQuery& query)
{
    // Without a filter only the rows shown are read; with one, only the
    // candidates that a look at the text leaves.
    if (query.filtered() && !mayMatch(xml, query)) return;
    const bool shown = slice.total >= query.offset && slice.total < query.offset + query.limit;
    EntryRow row;
    if (query.filtered() || shown) {
        row.readable = readEntry(xml, &row.form);
        if (query.filtered() && (!row.readable || !matches(row.form, query))) return;
    }
    if (shown) {
        row.index = index;
        row.xml = xml;
        slice.rows.push_back(std::move(row));
    }
    ++slice.total;
}

EntrySlice sliceOf(const std::vector<std::string>& table, const EntryQuery& query)
{
    EntrySlice slice;
    for (size_t i = 0; i < table.size(); ++i) addToSlice(slice, i, table[i], query);
    return slice;
}

std::vector<StoreStep> revertSteps(const std::vector<std::string>& store, const std::vector<std::string>& committed)
{
    auto [front, back] = sharedEnds(store, committed);
    const size_t storeMiddle = store.size() - back - front;
    const size_t fileMiddle = committed.size() - back - front;
    std::vector<StoreStep> steps;
    auto setAt = [&](size_t i) {
        if (store[i] != committed[i]) steps.push_back({StoreStep::Op::set, i, committed[i]});
    };
    if (storeMiddle >= fileMiddle) {
        for (size_t i = front; i < front + fileMiddle; ++i) setAt(i);
        // Each delete moves the entries below it up one: the same index again.
        for (size_t n = fileMiddle; n < storeMiddle; ++n) steps.push_back({StoreStep::Op::del, front + fileMiddle, ""});
        return steps;
    }
    // Entries cannot be put between others: from the first difference on,
    // the store's places take the file's entries and the rest is appended.
    for (size_t i = front; i < store.size(); ++i) setAt(i);
    for (size_t i = store.size(); i < committed.size(); ++i) steps.push_back({StoreStep::Op::add, i, committed[i]});
    return steps;
}

size_t differingEntries(const std::vector<std::string>& store, const std::vector<std::string>& committed)
{
    auto [front, back] = sharedEnds(store, committed);
    size_t changed = 0;
    const size_t storeMiddle = store.size() - back - front, fileMiddle = committed.size() - back - front;
    for (size_t i = 0; i < std::min(storeMiddle, fileMiddle); ++i) {
        changed += store[front + i] != committed[front + i] ? 1 : 0;
    }
    return changed + std::max(storeMiddle, fileMiddle) - std::min(storeMiddle, fileMiddle);
}

} // namespace console
