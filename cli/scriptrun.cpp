#include "scriptrun.h"

#include "monitorsession.h"
#include "replyformat.h"
#include "suggest.h"
#include "zormodule.h"

#include <algorithm>

namespace {

/// A script line short enough for one line of a message.
std::string shown(const HostRequest& request)
{
    std::string text = request.text.empty() ? request.op + " " + request.key : request.text;
    const size_t limit = 160;
    return text.size() > limit ? text.substr(0, limit) + "..." : text;
}

std::string where(const HostRequest& request)
{
    return request.line > 0 ? "script line " + std::to_string(request.line) + " (" + shown(request) + ")"
                            : shown(request);
}

/// The operations whose rows serve key, as "get" or "get, add and del";
/// empty when none does.
std::string operationsServing(const std::string& key,
                              const std::function<std::vector<std::string>(int type)>& registeredKeys)
{
    std::vector<std::string> names;
    for (auto [type, name] : {std::pair{KEY_TYPE_GET, "get"}, {KEY_TYPE_SET, "set"}, {KEY_TYPE_ADD, "add"},
                              {KEY_TYPE_DEL, "del"}, {KEY_TYPE_COMMIT, "commit"}}) {
        for (const std::string& path : registeredKeys(type)) {
            if (key.compare(0, path.size(), path) == 0) {
                names.push_back(name);
                break;
            }
        }
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

bool isEdit(const HostRequest& request)
{
    return request.type == KEY_TYPE_SET || request.type == KEY_TYPE_ADD || request.type == KEY_TYPE_DEL;
}

/// An edit of the configuration store: a set, add or delete of an entry or
/// a trigger. The debug level and the message post are sets that edit nothing.
bool isConfigurationEdit(const HostRequest& request, const RequestOutcome& outcome)
{
    return isEdit(request) && outcome.keyId &&
           (*outcome.keyId == ZOR_MON_ENTRY_KEY || *outcome.keyId == ZOR_MON_ACTION_TRIGGER_KEY);
}

} // namespace

bool requestFailed(const RequestOutcome& outcome)
{
    return outcome.exception || outcome.hostError || !outcome.result || *outcome.result < 0;
}

int runRequests(const std::vector<HostRequest>& requests, const RequestRunner& run, const ScriptRunOptions& options,
                std::ostream& out, std::ostream& err)
{
    bool anyFailed = false;
    // Successful edits since the session was last clean. The module's dirty
    // flag, where the host can read it, says whether any are still unsaved:
    // a debug-level set or a message post edits nothing.
    int uncommitted = 0;
    std::optional<bool> dirty;
    bool script = !requests.empty() && requests.front().line > 0;
    for (const HostRequest& request : requests) {
        if (options.refusal) {
            std::string why = options.refusal(request);
            if (!why.empty()) {
                err << "zorhost: " << where(request) << " not sent: " << why << '\n';
                anyFailed = true;
                if (options.keepGoing) {
                    continue;
                }
                break;
            }
        }
        if (request.type == KEY_TYPE_COMMIT) {
            if (options.beforeCommit) {
                options.beforeCommit();
            }
            if (options.dryRun) {
                err << "zorhost: dry run: " << where(request) << " not sent\n";
                continue;
            }
        }

        RequestOutcome outcome = run(request);
        if (options.json) {
            out << jsonLine(request, outcome) << std::endl;
        } else {
            printPlain(outcome, out, err);
            if (!outcome.keyId && !outcome.exception && !outcome.hostError) {
                // The host refused the key: say so where errors go, with
                // the nearest registered key when one is a typo away.
                err << "zorhost: no such key: " << request.key;
                std::vector<std::string> keys =
                    options.registeredKeys ? options.registeredKeys(request.type) : std::vector<std::string>();
                // A key that other operations serve is no typo: say which.
                std::string others =
                    options.registeredKeys ? operationsServing(request.key, options.registeredKeys) : "";
                if (!others.empty()) {
                    err << "; it takes " << others << " requests";
                } else if (std::optional<std::string> near = suggestKey(request.key, keys)) {
                    err << "; did you mean " << *near << "?";
                }
                err << '\n';
            }
        }

        if (requestFailed(outcome)) {
            anyFailed = true;
            if (!options.keepGoing) {
                if (script) {
                    err << "zorhost: stopped at " << where(request)
                        << ": it failed, so nothing after it was sent (--keep-going sends every line)\n";
                }
                break;
            }
            continue;
        }
        if (outcome.sessionDirty) {
            dirty = outcome.sessionDirty;
            uncommitted = !*dirty ? 0 : uncommitted + (isConfigurationEdit(request, outcome) ? 1 : 0);
        } else if (isEdit(request)) {
            ++uncommitted;
        } else if (request.type == KEY_TYPE_COMMIT) {
            uncommitted = 0;
        }
        if (request.type == KEY_TYPE_COMMIT && options.afterCommit) {
            options.afterCommit();
        }
    }
    bool unsaved = dirty ? *dirty : uncommitted > 0;
    uncommitted = unsaved ? std::max(uncommitted, 1) : 0;
    err.flush();
    if (anyFailed) {
        return kExitRequestFailed;
    }
    if (uncommitted > 0 && !options.dryRun) {
        err << "zorhost: " << uncommitted << (uncommitted == 1 ? " change" : " changes")
            << " not committed; add a commit line\n";
        return kExitUncommitted;
    }
    return kExitOk;
}
