// Alerts mirrored into a site's alert managers (their v2 HTTP API), off the
// sampling path: the thread tells what fires and what ended, a worker of
// its own delivers it to every configured manager.
#pragma once

#include "monitoractions.h"
#include "zorexpected.h"

#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace zormon {
/// One alert as an alert manager receives it.
struct PushedAlert {
    std::string name;                               ///< stable alert name ("VARIABLE CONDITION"), the map key
    std::map<std::string, std::string> labels;      ///< the whole label set (alertname, variable, ...)
    std::map<std::string, std::string> annotations; ///< summary, value
    std::time_t startsAt = 0;                       ///< wall clock seconds
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

class AlertPusher {
public:
    explicit AlertPusher(HostLog hostLog);   // HostLog from monitoractions.h
    ~AlertPusher();                            // stop()
    /// Managers and settings; called at each configuration load (may be the same list). An empty list
    /// stops sending (state kept). Managers no longer listed are dropped with what waits for them.
    void configure(AlertPushSettings settings);
    /// The alert fires: sent at once to every manager when it is new or its labels or startsAt changed,
    /// then again every refreshSeconds while firing() keeps being called or until ended()/forget().
    /// Called at every sample of a firing alert: must be cheap when nothing changed (no wake-up).
    void firing(const PushedAlert& alert);
    /// The alert resolved, or its entry is gone: sent once with endsAt to every manager (with retries),
    /// then forgotten. Unknown names are ignored.
    void ended(const std::string& name, std::time_t endsAt);
    /// Stop refreshing the alert without telling the managers (a silence took it over).
    void forget(const std::string& name);
    std::vector<ManagerStatus> status() const;
    void stop(); // the worker ends after the POST under way (its timeout bounds it)
};
}
