// The contract between the host management process and a module: the
// description records exchanged at session start, the host's session
// listener, the access types and the shape of the request entry points.
#pragma once

#include <cstdint>

class ZorModParam;

/// Callback column of a key registration; modules pass null.
typedef int (*CBFunc)(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);

/// Access types of a key registration; each names the entry point that serves it.
enum ZorKeyType {
    KEY_TYPE_COMMIT = 1,
    KEY_TYPE_SET = 2,
    KEY_TYPE_GET = 4,
    KEY_TYPE_ADD = 8,
    KEY_TYPE_DEL = 16,
};

/// The host's session listener. Only its first virtual operation is part of
/// the contract: a module calls it once per key it serves.
class ZORListener {
public:
    virtual int registerKey(const char* keyName, int keyId, CBFunc cback, int type, void* instance) = 0;
    virtual ~ZORListener() = default;
};

/// Host global export object; opaque to modules.
class ZORExport;

/// Description record of a module, filled by OpenSession. The host sets
/// iStructSize to the size it knows; the module never writes past it.
struct module_funcs {
    uint32_t iStructSize;
    int32_t iStructVersion;
    const char* pModuleName;
    const char* pModuleVendor;
    const char* pModuleVersion;
    void* private_data;
    int32_t iPrivateDataSize;
};

/// The host's system function table, handed to OpenSession.
struct system_funcs {
    uint32_t iStructSize;
    int32_t iStructVersion;
    ZORListener* session;
    ZORExport* global;
};

/// Entry points a module exports. OpenSession and CloseSession have C names;
/// the request entry points keep their C++ names, which carry the parameter types.
extern "C" {
typedef int (*OpenSessionFunc)(module_funcs* my_funcs, system_funcs* sys_funcs);
typedef int (*CloseSessionFunc)(module_funcs* my_funcs);
}
typedef int (*RequestEntryFunc)(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData);

/// Exported (mangled) symbol names of the request entry points.
#define ZOR_SYM_ONGET "_Z5OnGetP11ZorModParamiiPv"
#define ZOR_SYM_ONSET "_Z5OnSetP11ZorModParamiiPv"
#define ZOR_SYM_ONADD "_Z5OnAddP11ZorModParamiiPv"
#define ZOR_SYM_ONDEL "_Z5OnDelP11ZorModParamiiPv"
#define ZOR_SYM_ONCOMMIT "_Z8OnCommitP11ZorModParamiiPv"
