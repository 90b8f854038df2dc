// The monitor module's frame: the per-session record, the key ids, the key
// table registered with the host, and the seven entry points the host finds
// by name. The entry points only check their arguments and dispatch; the work
// is done by the handlers of monitorLogs and monitorConfigs.
#pragma once

#include "zormodule.h"

#include <cstdint>

class ZorModParam;

/// Per-session record: allocated by OpenSession, handed to the host with
/// every registered key, passed back with every request, freed by CloseSession.
struct moduleData {
    uint32_t Index;        ///< entry index the last entry or trigger request addressed
    uint32_t triggerIndex; ///< zeroed at session start; kept for the record layout
    bool sessionDirty;     ///< the session changed the store since its last commit
    uint32_t configCount;  ///< entry count the last entry-count request reported
    uint32_t actionCount;  ///< trigger count the last trigger-count request reported
    char monitorData[1024]; ///< scratch text in which replies are formatted
};

/// Key ids of the module's registrations; a request carries the id of its row.
enum ZorMonitorKeys {
    ZOR_MON_LOG_LIST_KEY = 0,
    ZOR_MON_LOG_KEY = 1,
    ZOR_MON_LOG_GRAPH_KEY = 2,
    ZOR_MON_VARIABLE_LIST_KEY = 3,
    ZOR_MON_VARIABLE_KEY = 4,
    ZOR_MON_INTERVAL_KEY = 5,
    ZOR_MON_COUNT_KEY = 6,
    ZOR_MON_ENTRY_KEY = 7,
    ZOR_MON_TRIGGER_COUNT_KEY = 8,
    ZOR_MON_ACTION_TRIGGER_KEY = 9,
    ZOR_MON_VARIABLE_COUNT_KEY = 10,
    ZOR_MON_VARIABLE_CONFIG_KEY = 11,
    ZOR_MON_VARIABLE_SUPPORTED_KEY = 12,
    ZOR_MON_PRESET_TRIGGER_COUNT_KEY = 13,
    ZOR_MON_PRESET_TRIGGER_KEY = 14,
    ZOR_MON_GLOBAL_DEBUG_LEVEL_KEY = 15,
    ZOR_MON_MSG_POST_KEY = 16,
    ZOR_MON_COMMIT_KEY = 17,
    ZOR_MON_MAX_NUM_KEYS = 18,
};

/// One row of the key table: what OpenSession hands to the host's listener.
struct ZorMonitorRegisterKey {
    char keyName[256];
    int32_t keyID;
    CBFunc cback;
    int32_t type;
    void* instance;
};

/// The registrations, in the order they are registered; ends with a row whose
/// key id is -1, which is never registered.
extern ZorMonitorRegisterKey monitorInitializeKeys[];

/// Clears a session record and starts the configuration store up.
void InitializeData(moduleData* data);

#define ZOR_MODULE_EXPORT __attribute__((visibility("default")))

extern "C" {
/// Starts a session: exchanges description records and registers the keys.
ZOR_MODULE_EXPORT int OpenSession(module_funcs* my_funcs, system_funcs* _sys_funcs);
/// Ends a session: frees the session record; nothing is saved.
ZOR_MODULE_EXPORT int CloseSession(module_funcs* my_funcs);
}

/// Request entry points; their C++ names carry the parameter types.
ZOR_MODULE_EXPORT int OnGet(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);
ZOR_MODULE_EXPORT int OnSet(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);
ZOR_MODULE_EXPORT int OnAdd(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);
ZOR_MODULE_EXPORT int OnDel(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);
ZOR_MODULE_EXPORT int OnCommit(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);
