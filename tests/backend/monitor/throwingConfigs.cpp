// Stand-in configuration store for the frame tests, linked into a test copy
// of the module in place of the real store. Its handlers raise
// MonitoringException on demand, which the real store does only for broken
// documents, so the tests can see how every entry point reports it.
//
// set and delete handlers throw with the request value as the message; the
// add handlers mark the session dirty and succeed, so that a commit reaches
// saveMonitorConfig, which always throws; the get handlers throw too, to show
// that a read lets the exception through.
#include "monitor.h"
#include "monitorConfigs.h"
#include "monitoringexception.h"
#include "zormodparam.h"

namespace {

int raise(ZorModParam* param)
{
    throw MonitoringException(std::string(param->getValue(0)));
}

int markDirty(ZorModParam* param, moduleData* data)
{
    data->sessionDirty = true;
    param->setMessage(" changed", 0);
    return 0;
}

} // namespace

void monitorConfigs::initialize() {}

int monitorConfigs::saveMonitorConfig(ZorModParam*, moduleData*)
{
    throw MonitoringException(std::string("Monitor.cfg cannot be written"));
}

int monitorConfigs::getMonitorEntryCount(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getMonitorEntry(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::setMonitorEntry(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::addMonitorEntry(ZorModParam* param, moduleData* data) { return markDirty(param, data); }
int monitorConfigs::delMonitorEntry(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getActionTriggerCount(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getActionTrigger(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::setActionTrigger(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::addActionTrigger(ZorModParam* param, moduleData* data) { return markDirty(param, data); }
int monitorConfigs::delActionTrigger(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getVariablesSupportedCount(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getVariablesSupportedList(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getVariableConfiguration(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getPresetTriggerCount(ZorModParam* param, moduleData*) { return raise(param); }
int monitorConfigs::getPresetTrigger(ZorModParam* param, moduleData*) { return raise(param); }
