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

RequestLoop::Step RequestLoop::before(const HostRequest& request)
{
    if (_options.refusal) {
        std::string why = _options.refusal(request);
        if (!why.empty()) {
            _err << "zorhost: " << where(request) << " not sent: " << why << '\n';
            _anyFailed = true;
            return _options.keepGoing ? Step::skip : Step::stop;
        }
    }
    if (request.type == KEY_TYPE_COMMIT) {
        if (_options.beforeCommit) {
            _options.beforeCommit();
        }
        if (_options.dryRun) {
            _err << "zorhost: dry run: " << where(request) << " not sent\n";
            return Step::skip;
        }
    }
    return Step::send;
}

bool RequestLoop::after(const HostRequest& request, const RequestOutcome& outcome)
{
    if (_options.json) {
        _out << jsonLine(request, outcome) << std::endl;
    } else {
        printPlain(outcome, _out, _err);
        if (!outcome.keyId && !outcome.exception && !outcome.hostError) {
            // The host refused the key: say so where errors go, with
            // the nearest registered key when one is a typo away.
            _err << "zorhost: no such key: " << request.key;
            std::vector<std::string> keys =
                _options.registeredKeys ? _options.registeredKeys(request.type) : std::vector<std::string>();
            // A key that other operations serve is no typo: say which.
            std::string others = _options.registeredKeys ? operationsServing(request.key, _options.registeredKeys) : "";
            if (!others.empty()) {
                _err << "; it takes " << others << " requests";
            } else if (std::optional<std::string> near = suggestKey(request.key, keys)) {
                _err << "; did you mean " << *near << "?";
            }
            _err << '\n';
        }
    }

    if (requestFailed(outcome)) {
        _anyFailed = true;
        if (!_options.keepGoing) {
            if (request.line > 0) {
                _err << "zorhost: stopped at " << where(request)
                     << ": it failed, so nothing after it was sent (--keep-going sends every line)\n";
            }
            return false;
        }
        return true;
    }
    if (outcome.sessionDirty) {
        _dirty = outcome.sessionDirty;
        _uncommitted = !*_dirty ? 0 : _uncommitted + (isConfigurationEdit(request, outcome) ? 1 : 0);
    } else if (isEdit(request)) {
        ++_uncommitted;
    } else if (request.type == KEY_TYPE_COMMIT) {
        _uncommitted = 0;
    }
    if (request.type == KEY_TYPE_COMMIT && _options.afterCommit) {
        _options.afterCommit();
    }
    return true;
}

int RequestLoop::finish()
{
    bool unsaved = _dirty ? *_dirty : _uncommitted > 0;
    int uncommitted = unsaved ? std::max(_uncommitted, 1) : 0;
    _err.flush();
    if (_anyFailed) {
        return kExitRequestFailed;
    }
    if (uncommitted > 0 && !_options.dryRun) {
        _err << "zorhost: " << uncommitted << (uncommitted == 1 ? " change" : " changes")
             << " not committed; add a commit line\n";
        return kExitUncommitted;
    }
    return kExitOk;
}

int runRequests(const std::vector<HostRequest>& requests, const RequestRunner& run, const ScriptRunOptions& options,
                std::ostream& out, std::ostream& err)
{
    RequestLoop loop(options, out, err);
    for (const HostRequest& request : requests) {
        RequestLoop::Step step = loop.before(request);
        if (step == RequestLoop::Step::skip) {
            continue;
        }
        if (step == RequestLoop::Step::stop || !loop.after(request, run(request))) {
            break;
        }
    }
    return loop.finish();
}
