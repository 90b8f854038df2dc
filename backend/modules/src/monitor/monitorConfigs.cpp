#include "monitorConfigs.h"

#include "monitor.h"
#include "zormodparam.h"

// PLACEHOLDER BODIES. The configuration store is not part of this build yet:
// every configuration key answers with one clear refusal, so a client learns
// at once that the key exists but is not served, and nothing is changed.
// The frame already dispatches to these final names; the real store replaces
// the bodies of this file (and adds the definitions of _configEntry and
// _monitorTable, which need the complete MonitorEntry) without touching the
// frame.

bool monitorConfigs::_monitorConfigActive = false;
std::string monitorConfigs::_XMLstring;
XERCES_CPP_NAMESPACE::DOMNodeList* monitorConfigs::_presetTriggers = nullptr;
std::string monitorConfigs::_configFile;
std::string monitorConfigs::_presetFile;

namespace {

const char* const kConfigurationUnavailable = " Configuration keys are not available in this build";
const int kConfigurationUnavailableCode = -9999;

int replyConfigurationUnavailable(ZorModParam* param)
{
    param->setMessage(kConfigurationUnavailable, kConfigurationUnavailableCode);
    return kConfigurationUnavailableCode;
}

} // namespace

// Placeholder: there is nothing to load yet, so a session opens on an empty store.
void monitorConfigs::initialize() {}

// Placeholder: no placeholder marks a session dirty, so this is reached only
// if a future handler does; it refuses rather than pretend a save happened.
int monitorConfigs::saveMonitorConfig(ZorModParam* param, moduleData*)
{
    return replyConfigurationUnavailable(param);
}

int monitorConfigs::getMonitorEntryCount(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::getMonitorEntry(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::setMonitorEntry(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::addMonitorEntry(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::delMonitorEntry(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }

int monitorConfigs::getActionTriggerCount(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::getActionTrigger(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::setActionTrigger(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::addActionTrigger(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::delActionTrigger(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }

int monitorConfigs::getVariablesSupportedCount(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::getVariablesSupportedList(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::getVariableConfiguration(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::getPresetTriggerCount(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
int monitorConfigs::getPresetTrigger(ZorModParam* param, moduleData*) { return replyConfigurationUnavailable(param); }
