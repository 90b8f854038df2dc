// The configuration store: one in-memory copy of the monitoring configuration
// shared by every session, and the request handlers that count, read, change,
// add and delete its entries and triggers, answer the variable questions and
// browse the preset catalogue. Static only; never instantiated.
#pragma once

#include <string>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class DOMNodeList;
XERCES_CPP_NAMESPACE_END

class MonitorEntry;
class ZorModParam;
struct moduleData;

class monitorConfigs {
public:
    monitorConfigs() {}
    ~monitorConfigs() {}

    /// Loads Monitor.cfg and the preset catalogue unless an earlier session did.
    static void initialize();
    /// Writes the table back to the configuration file; called on the commit of a dirty session.
    static int saveMonitorConfig(ZorModParam* param, moduleData* data);

    // Monitor entry requests.
    static int getMonitorEntryCount(ZorModParam* param, moduleData* data);
    static int getMonitorEntry(ZorModParam* param, moduleData* data);
    static int setMonitorEntry(ZorModParam* param, moduleData* data);
    static int addMonitorEntry(ZorModParam* param, moduleData* data);
    static int delMonitorEntry(ZorModParam* param, moduleData* data);

    // Action trigger requests.
    static int getActionTriggerCount(ZorModParam* param, moduleData* data);
    static int getActionTrigger(ZorModParam* param, moduleData* data);
    static int setActionTrigger(ZorModParam* param, moduleData* data);
    static int addActionTrigger(ZorModParam* param, moduleData* data);
    static int delActionTrigger(ZorModParam* param, moduleData* data);

    // Variable and preset requests.
    static int getVariablesSupportedCount(ZorModParam* param, moduleData* data);
    static int getVariablesSupportedList(ZorModParam* param, moduleData* data);
    static int getVariableConfiguration(ZorModParam* param, moduleData* data);
    static int getPresetTriggerCount(ZorModParam* param, moduleData* data);
    static int getPresetTrigger(ZorModParam* param, moduleData* data);

    /// True once Monitor.cfg has been loaded; until then every session open tries again.
    static bool _monitorConfigActive;
    /// Scratch: the XML text most recently received or produced by a handler.
    static std::string _XMLstring;
    /// Scratch: a copy of the entry most recently selected, parsed or edited.
    static MonitorEntry _configEntry;
    /// The monitor entries in document order; the position is the entry index of every request.
    static std::vector<MonitorEntry> _monitorTable;
    /// The preset elements of the catalogue; null while no catalogue is loaded.
    static XERCES_CPP_NAMESPACE::DOMNodeList* _presetTriggers;
    /// Path of Monitor.cfg, set at start-up.
    static std::string _configFile;
    /// Path of PresetTriggers.cfg, set at start-up.
    static std::string _presetFile;
};
