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

/// Runs the requests; replies go to out, results and errors to err.
/// Returns kExitOk, kExitRequestFailed or kExitUncommitted.
int runRequests(const std::vector<HostRequest>& requests, const RequestRunner& run, const ScriptRunOptions& options,
                std::ostream& out, std::ostream& err);
