// MonitorEntry: one monitored variable with its schedule and triggers.
#include "monitoring.h"

#include <iostream>
#include <utility>


MonitorEntry::ActionTriggerWrapper::ActionTriggerWrapper(const ActionTrigger* trigger)
    : _trigger(trigger != nullptr ? trigger->clone(true) : nullptr)
{
}

MonitorEntry::ActionTriggerWrapper::ActionTriggerWrapper(const ActionTriggerWrapper& other)
    : ActionTriggerWrapper(other._trigger)
{
}

MonitorEntry::ActionTriggerWrapper::ActionTriggerWrapper(ActionTriggerWrapper&& other) noexcept
    : _trigger(other._trigger)
{
    other._trigger = nullptr;
}

MonitorEntry::ActionTriggerWrapper& MonitorEntry::ActionTriggerWrapper::operator=(const ActionTriggerWrapper& other)
{
    if (this != &other) {
        // Clone first: if cloning fails, this wrapper keeps its trigger.
        ActionTrigger* copy = other._trigger != nullptr ? other._trigger->clone(true) : nullptr;
        delete _trigger;
        _trigger = copy;
    }
    return *this;
}

MonitorEntry::ActionTriggerWrapper&
MonitorEntry::ActionTriggerWrapper::operator=(ActionTriggerWrapper&& other) noexcept
{
    if (this != &other) {
        delete _trigger;
        _trigger = other._trigger;
        other._trigger = nullptr;
    }
    return *this;
}

MonitorEntry::ActionTriggerWrapper::~ActionTriggerWrapper() { delete _trigger; }

MonitorEntry::MonitorEntry(bool log, std::string variableName, const Frequency* frequency)
    : _log(log), _variableName(std::move(variableName))
{
    setFrequency(frequency);
}

MonitorEntry::MonitorEntry(const MonitorEntry& other)
    : _log(other._log), _variableName(other._variableName), _actionTriggers(other._actionTriggers)
{
    _frequency = other._frequency != nullptr ? other._frequency->clone(true) : nullptr;
}

MonitorEntry::MonitorEntry(MonitorEntry&& other) noexcept
    : _log(other._log), _variableName(std::move(other._variableName)), _frequency(other._frequency),
      _actionTriggers(std::move(other._actionTriggers))
{
    other._frequency = nullptr;
}

MonitorEntry& MonitorEntry::operator=(const MonitorEntry& other)
{
    if (this != &other) {
        // Copy, then swap: self-assignment and a failing clone both leave
        // this entry as it was.
        MonitorEntry copy(other);
        swap(copy);
    }
    return *this;
}

// Member by member rather than through a temporary: erasing entry 0 of a
// large table move-assigns every later entry, so this runs once per entry.
// The moved-from entry keeps its log flag and holds no name, schedule or
// trigger, as after a move construction.
MonitorEntry& MonitorEntry::operator=(MonitorEntry&& other) noexcept
{
    if (this != &other) {
        _log = other._log;
        _variableName = std::move(other._variableName);
        delete _frequency;
        _frequency = other._frequency;
        other._frequency = nullptr;
        _actionTriggers = std::move(other._actionTriggers);
        other._actionTriggers.clear();
    }
    return *this;
}

MonitorEntry::~MonitorEntry() { delete _frequency; }

void MonitorEntry::swap(MonitorEntry& other) noexcept
{
    std::swap(_log, other._log);
    _variableName.swap(other._variableName);
    std::swap(_frequency, other._frequency);
    _actionTriggers.swap(other._actionTriggers);
}

void MonitorEntry::setFrequency(const Frequency* frequency)
{
    if (frequency == nullptr) {
        throw MonitoringException(std::string("NULL Frequency specified"));
    }
    Frequency* copy = frequency->clone(true);
    delete _frequency;
    _frequency = copy;
}

void MonitorEntry::addActionTrigger(const ActionTrigger* trigger)
{
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    if (!_log && trigger->getValueType() != instantaneous) {
        throw MonitoringException(std::string("A non instantaneous trigger cannot be added to an entry that's not logged"));
    }
    _actionTriggers.emplace_back(trigger);
}

void MonitorEntry::delActionTrigger(unsigned int index)
{
    if (index >= _actionTriggers.size()) {
        throw MonitoringException(std::string("Trigger not found with the specified index"));
    }
    _actionTriggers.erase(_actionTriggers.begin() + index);
}

void MonitorEntry::modifyActionTrigger(unsigned int index, const ActionTrigger* trigger)
{
    if (trigger == nullptr) {
        throw MonitoringException(std::string("NULL Trigger specified"));
    }
    if (index >= _actionTriggers.size()) {
        throw MonitoringException(std::string("Trigger not found with the specified index"));
    }
    _actionTriggers[index] = ActionTriggerWrapper(trigger);
}

ActionTrigger* MonitorEntry::getActionTrigger(unsigned int index)
{
    return index < _actionTriggers.size() ? _actionTriggers[index]() : nullptr;
}

const ActionTrigger* MonitorEntry::getActionTrigger(unsigned int index) const
{
    return index < _actionTriggers.size() ? _actionTriggers[index]() : nullptr;
}

void MonitorEntry::print() const
{
    std::cout << "log: " << _log << std::endl;
    std::cout << "variable: " << _variableName << std::endl;
    // An entry read from an unknown schedule element has none to dump.
    if (_frequency != nullptr) {
        _frequency->print();
    }
    for (const ActionTriggerWrapper& wrapper : _actionTriggers) {
        if (wrapper() != nullptr) {
            wrapper()->print();
        }
    }
}
