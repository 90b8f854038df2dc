// The monitor module's frame: the per-session record, the key ids, the key
// table registered with the host, and the seven entry points the host finds
// by name. The entry points only check their arguments and dispatch; the work
// is done by the handlers of monitorLogs and monitorConfigs.
#pragma once

#include "monitorsession.h"
#include "zormodule.h"

#include <cstdint>

class ZorModParam;

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
