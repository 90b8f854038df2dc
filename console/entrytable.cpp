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

EntrySlice sliceOf(const std::vector<std::string>& table, const EntryQuery& query)
{
    EntrySlice slice;
    for (size_t i = 0; i < table.size(); ++i) {
        EntryRow row;
        // Without a filter only the rows shown are read.
        if (query.filtered() || (slice.total >= query.offset && slice.total < query.offset + query.limit)) {
            row.readable = readEntry(table[i], &row.form);
            if (query.filtered() && (!row.readable || !matches(row.form, query))) continue;
        }
        if (slice.total >= query.offset && slice.total < query.offset + query.limit) {
            row.index = i;
            row.xml = table[i];
            slice.rows.push_back(std::move(row));
        }
        ++slice.total;
    }
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
