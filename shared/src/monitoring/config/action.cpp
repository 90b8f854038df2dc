#include "action.h"

#include "monitoringexception.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace {

ActionClock gActionClock = nullptr;

// The recorded times are longs, 32 bits on the appliance, while its clock
// runs past January 2038: a time is kept as its low bits (the conversion
// wraps) and elapsed times are taken modulo the long's range, which is
// right for any interval shorter than 68 years.
long currentTime()
{
    return static_cast<long>(gActionClock != nullptr ? gActionClock() : std::time(nullptr));
}

long elapsedSince(long recorded, long now)
{
    return static_cast<long>(static_cast<unsigned long>(now) - static_cast<unsigned long>(recorded));
}

// The histories are bounded only by this: a busy appliance sees a few dozen
// variables, so more than this many means stale names piling up.
constexpr std::size_t kMaxRememberedVariables = 100;

} // namespace

void setActionClockForTest(ActionClock clock) { gActionClock = clock; }

void SetShutdown(bool shutdown, Action& action) { action._shutdown = shutdown; }

std::string Action::getEmail(unsigned int index) const
{
    if (index >= _emailList.size()) {
        throw MonitoringException(std::string("email index out of bounds"));
    }
    return _emailList[index];
}

void Action::addEmail(std::string address) { _emailList.push_back(std::move(address)); }

void Action::delEmail(const std::string& address)
{
    auto found = std::find(_emailList.begin(), _emailList.end(), address);
    if (found == _emailList.end()) {
        throw MonitoringException(std::string("email address not found"));
    }
    _emailList.erase(found);
}

void Action::modifyEmail(unsigned int index, std::string address)
{
    if (index >= _emailList.size()) {
        throw MonitoringException(std::string("email index out of bounds"));
    }
    _emailList[index] = std::move(address);
}

bool Action::findMessage(const std::string& variable, const std::string& message) const
{
    auto found = _previousMessages.find(variable);
    return found != _previousMessages.end() && found->second == message;
}

void Action::addMessage(const std::string& variable, std::string& message)
{
    auto found = _previousMessages.find(variable);
    if (found != _previousMessages.end()) {
        found->second.swap(message);
    } else {
        _previousMessages.emplace(variable, std::move(message));
    }
}

void Action::collectGarbage()
{
    if (_actionTimes.size() > kMaxRememberedVariables) {
        _actionTimes.clear();
        _previousMessages.clear();
    }
}

bool Action::shouldPerform(std::string& variable, std::string message, bool isNumber)
{
    return shouldPerform(variable, std::move(message), isNumber, currentTime());
}

bool Action::shouldPerform(std::string& variable, std::string message, bool isNumber, long now)
{
    if (_maxFrequency == 0) {
        addMessage(variable, message);
        return true;
    }
    // A changed text message is news: it goes out at once and neither starts
    // nor moves the time window.
    if (!isNumber && !findMessage(variable, message)) {
        addMessage(variable, message);
        return true;
    }
    auto inserted = _actionTimes.emplace(variable, 0L);
    bool wasPresent = !inserted.second;
    long& recorded = inserted.first->second;
    // Shutting down or powering off a drive must never be held back, and
    // the first timed performance of a variable always passes: its 0 means
    // "never", not the epoch.
    if (wasPresent && elapsedSince(recorded, now) < static_cast<long>(_maxFrequency) && !_powerOffDrive &&
        !_shutdown) {
        return false;
    }
    recorded = now;
    if (wasPresent) {
        collectGarbage();
    }
    addMessage(variable, message);
    return true;
}

void Action::print() const
{
    std::cout << "  udp: " << _udp << std::endl;
    std::cout << "  trap: " << _trap << std::endl;
    std::cout << "  shutdown: " << _shutdown << std::endl;
    std::cout << "  log: " << _log << std::endl;
    std::cout << "  power off drive: " << _powerOffDrive << std::endl;
    std::cout << "  email: " << std::endl;
    for (const std::string& address : _emailList) {
        std::cout << "    " << address;
    }
    std::cout << std::endl;
}
