#include "request.h"

#include "monitorkeys.h"

#include "zormodule.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

const char* const kDefaultCommitKey = monitorkeys::kCommit;

namespace {

int accessTypeOf(const std::string& op)
{
    if (op == "get") {
        return KEY_TYPE_GET;
    }
    if (op == "set") {
        return KEY_TYPE_SET;
    }
    if (op == "add") {
        return KEY_TYPE_ADD;
    }
    if (op == "del") {
        return KEY_TYPE_DEL;
    }
    if (op == "commit") {
        return KEY_TYPE_COMMIT;
    }
    return 0;
}

bool parseKeyId(const std::string& text, int* id)
{
    if (text.empty() || text.find_first_not_of("+-0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < INT_MIN || number > INT_MAX) {
        return false;
    }
    *id = static_cast<int>(number);
    return true;
}

} // namespace

zor::Expected<HostRequest> makeRequest(const std::string& opWord, const std::optional<std::string>& key,
                                       const std::optional<std::string>& value)
{
    HostRequest r;
    size_t colon = opWord.find(':');
    r.op = opWord.substr(0, colon);
    r.type = accessTypeOf(r.op);
    if (r.type == 0) {
        return zor::Error{"unknown operation \"" + opWord +
                          "\" (expected get, set, add, del or commit, optionally as OP:ID)"};
    }
    if (colon != std::string::npos) {
        int id = 0;
        if (!parseKeyId(opWord.substr(colon + 1), &id)) {
            return zor::Error{"\"" + opWord + "\": the key id after ':' must be a whole number"};
        }
        r.forcedKeyId = id;
    }
    // A commit names its key only when it wants another than the standard
    // one; OP:ID skips routing, so there the key is only the block's text.
    if (key.has_value() && !key->empty()) {
        r.key = *key;
    } else if (r.type == KEY_TYPE_COMMIT) {
        r.key = kDefaultCommitKey;
    } else if (!r.forcedKeyId.has_value()) {
        return zor::Error{"\"" + opWord + "\" needs a KEY"};
    }
    r.value = value;
    return r;
}

zor::Expected<std::vector<HostRequest>> parseScript(const std::string& text)
{
    std::vector<HostRequest> requests;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        // A carriage return before the line feed belongs to the line ending
        // of a file written elsewhere, not to the value.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') {
            continue;
        }
        size_t blank = line.find(' ');
        std::string op = line.substr(0, blank);
        std::optional<std::string> key;
        std::optional<std::string> value;
        if (blank != std::string::npos) {
            std::string rest = line.substr(blank + 1);
            size_t second = rest.find(' ');
            key = rest.substr(0, second);
            // Everything after the blank that ends the key is the value, even
            // when it is empty: "set KEY " sends an empty value.
            if (second != std::string::npos) {
                value = rest.substr(second + 1);
            }
        }
        zor::Expected<HostRequest> request = makeRequest(op, key, value);
        if (!request) {
            return zor::Error{"script line " + std::to_string(lineNumber) + ": " + request.error()};
        }
        request->line = lineNumber;
        request->text = line;
        requests.push_back(std::move(*request));
    }
    return requests;
}

bool isEditOrCommit(const HostRequest& request)
{
    return request.type == KEY_TYPE_SET || request.type == KEY_TYPE_ADD || request.type == KEY_TYPE_DEL ||
           request.type == KEY_TYPE_COMMIT;
}
