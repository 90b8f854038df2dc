// What to do when an action trigger fires, plus the per-variable repeat
// history through which shouldPerform suppresses repeats. The outside
// component that performs actions consults shouldPerform before it acts.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <vector>

class Action;

/// Sets the shutdown flag: Action deliberately has no member setter for it,
/// so switching a system shutdown on stands out where it happens.
void SetShutdown(bool shutdown, Action& action);

/// Source of the wall-clock time (seconds since the epoch) for the repeat gate.
using ActionClock = std::time_t (*)();

/// Replaces the clock of the repeat gate so tests can play timelines without
/// waiting; nullptr restores the system clock. Production code never calls it.
void setActionClockForTest(ActionClock clock);

class Action {
public:
    bool isUdp() const { return _udp; }
    bool isTrap() const { return _trap; }
    bool isShutdown() const { return _shutdown; }
    bool isLog() const { return _log; }
    bool isPowerOffDrive() const { return _powerOffDrive; }
    void setUdp(bool udp) { _udp = udp; }
    void setTrap(bool trap) { _trap = trap; }
    void setLog(bool log) { _log = log; }
    void setPowerOffDrive(bool powerOff) { _powerOffDrive = powerOff; }

    /// Least number of seconds between two performances for one variable; 0 = no limit.
    unsigned int getMaxFrequency() const { return _maxFrequency; }
    void setMaxFrequency(unsigned int secs) { _maxFrequency = secs; }

    int getEmailListSize() const { return static_cast<int>(_emailList.size()); }
    /// Throws MonitoringException "email index out of bounds".
    std::string getEmail(unsigned int index) const;
    void addEmail(std::string address);
    /// Removes the first equal address; throws "email address not found".
    void delEmail(const std::string& address);
    /// Throws MonitoringException "email index out of bounds".
    void modifyEmail(unsigned int index, std::string address);

    /// The repeat gate: true when a fired action for this variable is to be
    /// carried out now. Numbers are held back by time only; texts pass at once
    /// whenever their message changes.
    bool shouldPerform(std::string& variable, std::string message, bool isNumber);
    /// The repeat gate at a given time (seconds since the epoch): the monitor
    /// thread passes the time of its sample, and a replay of a stored day the
    /// time of each stored sample, so neither depends on the process clock.
    bool shouldPerform(std::string& variable, std::string message, bool isNumber, long now);

    void print() const;

private:
    friend void SetShutdown(bool shutdown, Action& action);

    bool findMessage(const std::string& variable, const std::string& message) const;
    void addMessage(const std::string& variable, std::string& message);
    void collectGarbage();

    bool _udp = false;
    bool _trap = false;
    bool _shutdown = false;
    bool _log = false;
    bool _powerOffDrive = false;
    unsigned int _maxFrequency = 0;
    std::map<std::string, long> _actionTimes;
    std::map<std::string, std::string> _previousMessages;
    std::vector<std::string> _emailList;
};
