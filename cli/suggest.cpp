#include "suggest.h"

namespace {

/// True when a and b differ by at most one inserted, deleted or replaced character.
bool withinOneEdit(const std::string& a, const std::string& b)
{
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (longer.size() - shorter.size() > 1) {
        return false;
    }
    size_t i = 0;
    while (i < shorter.size() && shorter[i] == longer[i]) {
        ++i;
    }
    // After the first difference the rest must line up: shifted by one for
    // an insertion, in step for a replacement.
    if (shorter.size() == longer.size()) {
        return i == shorter.size() || shorter.compare(i + 1, std::string::npos, longer, i + 1, std::string::npos) == 0;
    }
    return shorter.compare(i, std::string::npos, longer, i + 1, std::string::npos) == 0;
}

} // namespace

std::optional<std::string> suggestKey(const std::string& key, const std::vector<std::string>& registered)
{
    // The registered part of a key is its start; the rest (indexes, names)
    // is kept as typed. Try the lengths one edit can give that start.
    for (const std::string& path : registered) {
        for (size_t length : {path.size(), path.size() - 1, path.size() + 1}) {
            if (length == 0 || length > key.size()) {
                continue;
            }
            if (key.compare(0, length, path) != 0 && withinOneEdit(key.substr(0, length), path)) {
                return path + key.substr(length);
            }
        }
    }
    return std::nullopt;
}
