// The audit trail: who logged in to the console, who failed and who was
// locked out, who logged out, and who committed what, through the console or
// the socket. Each event is one line in the daemon's log and in audit.log
// beside the monitoring logs:
//
//   YYYY-MM-DD HH:MM:SS EVENT user=U peer=P WHAT
//
// in local time. EVENT is LOGIN, LOGIN-FAILED, LOCKOUT, LOGOUT, COMMIT or
// CHANGE; U and P have every byte that is a blank, a control character or
// '%' written as %XX, so that the fields split at blanks. P is the console
// client's address, or "socket:PID" for a session of the daemon's socket. A
// COMMIT line ("2 changes", "no changes") is followed by one CHANGE line
// per change, in words, with the same user and peer.
//
// audit.log holds one day, like the monitoring logs' dYYYYMMDD.log files:
// the first line of a new day renames it to audit-YYYYMMDD.log (the day of
// its lines), and day files older than the days kept (--keep-logs, as for
// the monitoring logs) are removed then.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct RequestOutcome;

struct AuditOptions {
    std::string folder; ///< where audit.log lives (the monitoring logs' folder)
    int keepDays = 90;  ///< days of audit-YYYYMMDD.log kept, counting today; < 1: all
    /// Takes each line (without its time) for the daemon's log; may be empty.
    std::function<void(const std::string&)> daemonLog;
    /// The changes between two tables of entries in words (diffWords).
    std::function<std::vector<std::string>(const std::vector<std::string>&, const std::vector<std::string>&)>
        describe;
    /// The clock; tests set their own.
    std::function<std::time_t()> now = [] { return std::time(nullptr); };
};

/// A table of entries as committed. Shared, never changed once made: with
/// 100,000 entries one copy is as large as the file, and the audit trail
/// and every console login hold the same one.
using SharedTable = std::shared_ptr<const std::vector<std::string>>;

class AuditTrail {
public:
    explicit AuditTrail(AuditOptions options);

    /// Writes one event's line.
    void record(const std::string& event, const std::string& user, const std::string& peer,
                const std::string& what = "");

    /// The table the configuration file holds now, as the daemon loaded it.
    void setCommitted(std::vector<std::string> table);
    /// A commit that wrote the file: `after` is the table it wrote. Writes
    /// the COMMIT line and a CHANGE line per change since the last commit.
    /// Gives the table as kept.
    SharedTable committed(const std::string& user, const std::string& peer, std::vector<std::string> after);

    /// The table of the last commit (or of the start); null before setCommitted.
    SharedTable committedTable() const;

    const std::string& folder() const { return _options.folder; }

private:
    void writeLine(std::time_t when, const std::string& line);
    void rotate(std::time_t when);

    AuditOptions _options;
    mutable std::mutex _mutex; ///< the file, the day and the table; taken inside the module mutex, never around it
    std::string _day;  ///< YYYYMMDD of the lines in audit.log; empty: not known yet
    bool _failing = false;
    SharedTable _committed;
};

/// True when a successful commit wrote the configuration: the module
/// answers a session without edits "No session changes" and leaves the
/// file alone.
bool commitWrote(const RequestOutcome& outcome);

/// One commit as the audit logs tell it.
struct AuditCommit {
    std::string time, user, peer;
    std::vector<std::string> changes;
};

/// The commits of audit.log and the day files in folder, newest first,
/// skipping offset of them and giving at most limit; *total is how many
/// there are in all.
std::vector<AuditCommit> readCommits(const std::string& folder, size_t offset, size_t limit, size_t* total);
