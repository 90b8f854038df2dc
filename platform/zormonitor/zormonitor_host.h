// Host side of the stand-in monitor library: what the host process sets up
// before it loads a module (the interval the monitor thread reports, where
// posted messages go) and what it reads back (how often a module announced
// a changed configuration). Modules never include this header.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zormonitor {

/// Interval reported by ZORmonitorThread::getMonitorInterval until changed.
constexpr long kDefaultIntervalSeconds = 60;
/// Where ZORUDPThread::postMessage sends until setUdpTarget is called.
constexpr const char* kDefaultUdpTarget = "127.0.0.1:5514";

/// Sets the monitoring interval, in seconds, that the monitor thread reports.
void setMonitorInterval(long seconds);

/// Sets where posted messages go: "HOST:PORT", "[IPv6]:PORT". The name is
/// resolved at once so that a bad target is refused before any request runs.
/// Returns false and says why in *error when the target cannot be used.
bool setUdpTarget(const std::string& hostAndPort, std::string* error);

/// Number of ZORmonitorThread::setConfigurationChanged calls so far.
unsigned long configurationChangedCount();

/// The host's running monitor thread, as the module's variable services
/// reach it. A function left empty keeps the built-in behaviour: live
/// readings of the six built-in variables, and a counted notice only.
struct ThreadServices {
    /// Value of a variable: 0, or a negative code (unknown, unavailable).
    std::function<int(const std::string& name, std::string* value)> currentValue;
    /// Every variable with its one-line definition.
    std::function<std::vector<std::pair<std::string, std::string>>()> variables;
    /// Told after every setConfigurationChanged.
    std::function<void()> configurationChanged;
};

/// Installs (or, with an empty ThreadServices, removes) the thread's services.
void setThreadServices(ThreadServices services);

/// A variable's value that the host read before calling into the module:
/// while this object lives, the calling thread's getCurrentValue of that
/// name answers with it at once (the first time only). zorhostd reads a
/// variable, which may run a program for seconds, before it takes the lock
/// every session needs, and lets the module form the reply as always.
class PrefetchedValue {
public:
    PrefetchedValue(std::string name, int result, std::string value);
    ~PrefetchedValue();
    PrefetchedValue(const PrefetchedValue&) = delete;
    PrefetchedValue& operator=(const PrefetchedValue&) = delete;

    /// Takes the value for name, once; false when there is none for it.
    static bool take(const std::string& name, int* result, std::string* value);

private:
    std::string _name;
    int _result;
    std::string _value;
    bool _taken = false;
    PrefetchedValue* _outer;
};

} // namespace zormonitor
