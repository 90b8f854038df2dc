// Helpers of the configuration model and XML tests.
#pragma once

#include "monitoring.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace configtest {

/// The message of the MonitoringException that call throws.
inline std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const MonitoringException& failure) {
        return failure.getMessage();
    }
    return "<no exception>";
}

/// What call writes to standard output.
inline std::string dump(const std::function<void()>& call)
{
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

/// Every field of a trigger as text, so that two triggers compare in one check.
inline std::string describe(const ActionTrigger* trigger)
{
    if (trigger == nullptr) {
        return "<none>";
    }
    const Action& action = trigger->getActionReference();
    return dump([&] { trigger->print(); action.print(); }) + "kind " + std::to_string(trigger->isA()) + ", type " +
           std::to_string(trigger->getValueType()) + ", permanent " + std::to_string(trigger->isPermanent()) +
           ", max " + std::to_string(action.getMaxFrequency()) + "\n";
}

/// Every field of an entry as text.
inline std::string describe(const MonitorEntry& entry)
{
    std::string text = dump([&] { entry.print(); });
    for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
        text += describe(entry.getActionTrigger(static_cast<unsigned int>(i)));
    }
    return text;
}

} // namespace configtest
