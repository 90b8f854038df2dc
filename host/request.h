// Requests as zorhost reads them from its command line or a script.
#pragma once

#include "zorexpected.h"

#include <optional>
#include <string>
#include <vector>

/// Key used by a commit that names none.
extern const char* const kDefaultCommitKey;

/// One request to send to the module.
struct HostRequest {
    std::string op;                ///< get, set, add, del or commit
    int type = 0;                  ///< access type (KEY_TYPE_*) that op names
    std::optional<int> forcedKeyId; ///< OP:ID: call the entry point with this id, no routing
    std::string key;
    std::optional<std::string> value;
    int line = 0;     ///< script line number (from 1); 0 for the command line
    std::string text; ///< the script line as written, for messages about it
};

/// True when the request changes the configuration or commits it (set,
/// add, del or commit, OP:ID forms included).
bool isEditOrCommit(const HostRequest& request);

/// Builds a request from OP, KEY and VALUE words; the key may be missing
/// for commit and for OP:ID. The error says what is wrong with the words.
zor::Expected<HostRequest> makeRequest(const std::string& opWord, const std::optional<std::string>& key,
                                       const std::optional<std::string>& value);

/// Reads every request of a script text. Lines are "OP KEY [VALUE]" with
/// single blanks between; VALUE is the rest of the line, verbatim. Blank
/// lines and lines starting with '#' are skipped. The error names the
/// first bad line.
zor::Expected<std::vector<HostRequest>> parseScript(const std::string& text);
