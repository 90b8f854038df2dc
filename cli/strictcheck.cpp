#include "strictcheck.h"

#include "monitorkeys.h"

#include "zormodule.h"

#include <vector>

namespace {

const std::string kConfig = monitorkeys::kConfig;

/// Key shapes that carry indexes: the path after the configuration
/// folder, the index names it takes after that path, and which document
/// a set or add carries.
struct IndexedKey {
    std::string path;
    std::vector<std::string> indexes; ///< for get, set and del
    std::vector<std::string> addIndexes;
    ValueDocument document;
};

const IndexedKey kIndexedKeys[] = {
    {"monitor-entry/", {"entry"}, {}, ValueDocument::monitorEntry},
    {"action-trigger/", {"entry", "trigger"}, {"entry"}, ValueDocument::actionTrigger},
    {"action-trigger-count/", {"entry"}, {"entry"}, ValueDocument::actionTrigger},
    {"preset-trigger/", {"preset"}, {}, ValueDocument::actionTrigger},
};

bool plainIndex(const std::string& part)
{
    // Up to nine digits: every such number fits the module's int indexes.
    return !part.empty() && part.size() <= 9 && part.find_first_not_of("0123456789") == std::string::npos;
}

/// Splits text at '/' into at most `count` leading parts and the rest.
std::vector<std::string> leadingParts(const std::string& text, size_t count, std::string* rest)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() < count) {
        size_t slash = text.find('/', start);
        if (slash == std::string::npos) {
            parts.push_back(text.substr(start));
            start = text.size();
            break;
        }
        parts.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    *rest = start <= text.size() ? text.substr(start) : std::string();
    return parts;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

} // namespace

std::string strictRefusal(const HostRequest& request, const XmlChecker& xmlChecker)
{
    if (request.key.compare(0, kConfig.size(), kConfig) != 0) {
        return std::string();
    }
    std::string tail = request.key.substr(kConfig.size());
    const IndexedKey* shape = nullptr;
    for (const IndexedKey& k : kIndexedKeys) {
        if (tail.compare(0, k.path.size(), k.path) == 0) {
            shape = &k;
            break;
        }
    }
    if (shape == nullptr) {
        return std::string();
    }
    bool isAdd = request.type == KEY_TYPE_ADD;
    const std::vector<std::string>& names = isAdd ? shape->addIndexes : shape->indexes;

    std::string afterIndexes;
    std::vector<std::string> keyParts = leadingParts(tail.substr(shape->path.size()), names.size(), &afterIndexes);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string part = i < keyParts.size() ? keyParts[i] : std::string();
        if (!plainIndex(part)) {
            return "the " + names[i] + " index in the key must be a plain decimal number, got " + quoted(part);
        }
    }
    if (!afterIndexes.empty()) {
        return "the key has " + quoted(afterIndexes) + " after its indexes";
    }
    if (request.type != KEY_TYPE_SET && !isAdd) {
        return std::string();
    }

    // The value repeats the key's indexes before its XML text (an entry add
    // has none). For an entry set the value's index is the one that selects
    // the entry, for a trigger the key's: either way they must agree.
    if (!request.value) {
        return "the request needs a value";
    }
    std::string xml;
    std::vector<std::string> valueParts = leadingParts(*request.value, names.size(), &xml);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string part = i < valueParts.size() ? valueParts[i] : std::string();
        if (!plainIndex(part)) {
            return "the " + names[i] + " index in the value must be a plain decimal number, got " + quoted(part);
        }
        if (part != keyParts[i]) {
            return "the " + names[i] + " index in the value (" + part + ") differs from the key's (" + keyParts[i] + ")";
        }
    }
    if (xmlChecker) {
        std::string problems = xmlChecker(xml, shape->document);
        if (!problems.empty()) {
            return "the value's XML text is refused:\n" + problems;
        }
    }
    return std::string();
}
