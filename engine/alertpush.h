// The firing alerts mirrored into a site's alert managers through their v2
// HTTP API (POST /api/v2/alerts), by a worker thread of its own so that a
// slow or unreachable manager never delays sampling: every public call only
// takes a mutex, changes a map and wakes the worker.
//
// Each manager has its own delivery state, the alerts that wait to be sent
// to it (firing ones and ended ones with their endsAt). Per wake-up the
// worker sends each manager one POST with all its waiting alerts. A failed
// POST (no connection, timeout, non-2xx) keeps them waiting and the manager
// is retried after 1, 2, 4 ... up to 60 seconds; the others go on. A
// manager forgets a firing alert that is not sent again before its resolve
// timeout, so firing() sends each alert again every refreshSeconds.
//
//     zormon::AlertPusher pusher(hostLog);
//     pusher.configure(settings);             // at each configuration load
//     pusher.firing(alert);                   // at each sample of a firing alert
//     pusher.ended(alert.name, time(nullptr)); // resolved
#pragma once

#include "monitoractions.h"
#include "zorexpected.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zormon {

/// One alert as an alert manager receives it.
struct PushedAlert {
    std::string name;                               ///< stable alert name ("VARIABLE CONDITION"), the map key
    std::map<std::string, std::string> labels;      ///< the whole label set (alertname, variable, ...)
    std::map<std::string, std::string> annotations; ///< summary, value
    std::time_t startsAt = 0;                       ///< wall clock seconds; 0: the manager's time of receipt
};

/// How one configured manager is doing, for the host log and /metrics.
struct ManagerStatus {
    std::string url;
    bool up = true;              ///< the last attempt succeeded (true before the first)
    unsigned long pushes = 0;    ///< POSTs that the manager accepted (2xx)
    unsigned long failures = 0;  ///< POSTs that failed (connect, timeout, non-2xx)
    std::time_t lastSuccess = 0;
    std::string lastError;       ///< empty when up
    size_t waiting = 0;          ///< alerts (firing or ended) not yet delivered to it
};

struct AlertPushSettings {
    std::vector<std::string> managers; ///< base URLs, "http://HOST:PORT[/PREFIX]", checked by checkManagerUrl
    std::string generatorUrl;          ///< generatorURL of every alert; empty: left out
    int timeoutMs = 5000;              ///< connect + whole exchange, per POST
    long refreshSeconds = 60;          ///< a firing alert is sent again this often (the manager's resolve timeout is longer)
    size_t capacity = 1000;            ///< ended alerts kept for delivery; the oldest go first beyond it
};

/// "http://HOST:PORT[/PREFIX]" normalised (no trailing '/'), or why not (https is refused: not supported).
zor::Expected<std::string> checkManagerUrl(const std::string& url);

/// "2026-12-07T10:00:00Z" (RFC 3339, UTC).
std::string rfc3339(std::time_t when);

class AlertPusher {
public:
    explicit AlertPusher(HostLog hostLog);
    ~AlertPusher();
    AlertPusher(const AlertPusher&) = delete;
    AlertPusher& operator=(const AlertPusher&) = delete;

    /// Managers and settings; called at each configuration load (may be the same list). An empty list
    /// stops sending (state kept). Managers no longer listed are dropped with what waits for them.
    /// A URL that checkManagerUrl refuses is left out and said in the host log.
    void configure(AlertPushSettings settings);
    /// The alert fires: sent at once to every manager when it is new or its labels or startsAt changed,
    /// then again every refreshSeconds while firing() keeps being called or until ended()/forget().
    /// Newer annotations go out with the next sending. Cheap when nothing changed (no wake-up).
    void firing(const PushedAlert& alert);
    /// The alert resolved, or its entry is gone: sent once with endsAt to every manager (with retries),
    /// then forgotten. Unknown names are ignored.
    void ended(const std::string& name, std::time_t endsAt);
    /// Stop refreshing the alert without telling the managers (a silence took it over). A sending
    /// already waiting for a manager still goes out.
    void forget(const std::string& name);
    std::vector<ManagerStatus> status() const;
    /// The worker ends after the POST under way (its timeout bounds it); later calls change nothing.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    struct Firing {
        PushedAlert alert;
        Clock::time_point sent; ///< when it was last queued for the managers
    };
    struct Waiting {
        PushedAlert alert;
        std::time_t endsAt = 0; ///< 0: firing
        unsigned long seq = 0;  ///< order of queueing, to tell a newer sending from the one under way
    };
    struct Manager {
        ManagerStatus status;
        std::map<std::string, Waiting> waiting; ///< by alert name: only the newest state matters
        Clock::time_point retryAt{};
        std::chrono::seconds backoff{0};
    };

    /// With the mutex held: the alert waits for every manager.
    void queueLocked(const PushedAlert& alert, std::time_t endsAt);
    void queueLocked(Manager& manager, const PushedAlert& alert, std::time_t endsAt);
    std::string bodyLocked(const Manager& manager) const;
    /// With the mutex held: the outcome of one POST; a line for the host log or "".
    std::string settleLocked(Manager& manager, const std::string& error, unsigned long sentUpTo);
    void work();

    HostLog _hostLog;
    mutable std::mutex _mutex;
    std::condition_variable _wake;
    AlertPushSettings _settings;
    std::map<std::string, Firing> _firing;
    std::map<std::string, Manager> _managers; ///< by normalised URL
    unsigned long _seq = 0;
    bool _changed = false;
    bool _stopping = false;
    std::thread _worker;
};

} // namespace zormon
