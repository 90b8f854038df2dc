// zorhost's request loop: sends the requests of one session in order,
// prints each reply, stops at the first failure and keeps track of edits
// that were never committed. It sends through a plain callable, so the
// session can be loaded in process or served by a daemon.
#pragma once

#include "hostsession.h"
#include "request.h"
#include "showdiff.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

/// How the loop treats the requests.
struct ScriptRunOptions {
    bool json = false;      ///< JSON lines instead of plain replies
    bool keepGoing = false; ///< send every request even after one failed
    bool dryRun = false;    ///< commits are not sent
    /// Checked before a request is sent; a non-empty text refuses it (--strict).
    std::function<std::string(const HostRequest&)> refusal;
    /// Runs before each commit (whether sent or not); diff prints there.
    std::function<void()> beforeCommit;
    /// Runs after each commit that succeeded.
    std::function<void()> afterCommit;
    /// The key paths registered for an access type, for "did you mean".
    std::function<std::vector<std::string>(int type)> registeredKeys;
};

/// Exit statuses of a session.
constexpr int kExitOk = 0;
constexpr int kExitRequestFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUncommitted = 3;

/// True when the request failed: a negative result, an escaped exception,
/// or a failure of the host itself.
bool requestFailed(const RequestOutcome& outcome);

/// The loop's rules for one request after another, in order, whether the
/// request is sent and answered at once or sent ahead (scriptpipe.h).
class RequestLoop {
public:
    RequestLoop(const ScriptRunOptions& options, std::ostream& out, std::ostream& err)
        : _options(options), _out(out), _err(err)
    {
    }

    enum class Step { send, skip, stop };
    /// Before the request is sent: the refusal, the commit hooks, the dry
    /// run. Says on err why a request is not sent.
    Step before(const HostRequest& request);

    /// Prints the outcome and counts it; false: the run stops here.
    bool after(const HostRequest& request, const RequestOutcome& outcome);

    /// kExitOk, kExitRequestFailed or kExitUncommitted, and the line about
    /// uncommitted changes.
    int finish();

private:
    const ScriptRunOptions& _options;
    std::ostream& _out;
    std::ostream& _err;
    bool _anyFailed = false;
    // Successful edits since the session was last clean. The module's dirty
    // flag, where the host can read it, says whether any are still unsaved:
    // a debug-level set or a message post edits nothing.
    int _uncommitted = 0;
    std::optional<bool> _dirty;
};

/// Runs the requests; replies go to out, results and errors to err.
/// Returns kExitOk, kExitRequestFailed or kExitUncommitted.
int runRequests(const std::vector<HostRequest>& requests, const RequestRunner& run, const ScriptRunOptions& options,
                std::ostream& out, std::ostream& err);
