#include "monitor.h"

#include "monitorConfigs.h"
#include "monitorLogs.h"
#include "monitoringexception.h"
#include "zorMonitorVariable.h"
#include "zorglobals.h"
#include "zormodparam.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

ZorMonitorRegisterKey monitorInitializeKeys[] = {
    {"/zor/public/system/monitor/monitorLogList/", ZOR_MON_LOG_LIST_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/monitorLog/", ZOR_MON_LOG_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/monitorLogGraph/", ZOR_MON_LOG_GRAPH_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/variableList/", ZOR_MON_VARIABLE_LIST_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/variable/", ZOR_MON_VARIABLE_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/interval/", ZOR_MON_INTERVAL_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/monitor-entry-count/", ZOR_MON_COUNT_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/monitor-entry/", ZOR_MON_ENTRY_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/action-trigger-count/", ZOR_MON_TRIGGER_COUNT_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/action-trigger/", ZOR_MON_ACTION_TRIGGER_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/variable-count/", ZOR_MON_VARIABLE_COUNT_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/variables-supported/", ZOR_MON_VARIABLE_SUPPORTED_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/variable-configuration/", ZOR_MON_VARIABLE_CONFIG_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/monitor-entry/", ZOR_MON_ENTRY_KEY, nullptr, KEY_TYPE_SET, nullptr},
    {"/zor/public/system/monitor/config/action-trigger/", ZOR_MON_ACTION_TRIGGER_KEY, nullptr, KEY_TYPE_SET, nullptr},
    {"/zor/public/system/monitor/config/monitor-entry/", ZOR_MON_ENTRY_KEY, nullptr, KEY_TYPE_ADD, nullptr},
    {"/zor/public/system/monitor/config/action-trigger/", ZOR_MON_ACTION_TRIGGER_KEY, nullptr, KEY_TYPE_ADD, nullptr},
    {"/zor/public/system/monitor/config/monitor-entry/", ZOR_MON_ENTRY_KEY, nullptr, KEY_TYPE_DEL, nullptr},
    {"/zor/public/system/monitor/config/action-trigger/", ZOR_MON_ACTION_TRIGGER_KEY, nullptr, KEY_TYPE_DEL, nullptr},
    {"/zor/public/system/monitor/config/preset-trigger-count/", ZOR_MON_PRESET_TRIGGER_COUNT_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/config/preset-trigger/", ZOR_MON_PRESET_TRIGGER_KEY, nullptr, KEY_TYPE_GET, nullptr},
    {"/zor/public/system/monitor/global-debug-level/", ZOR_MON_GLOBAL_DEBUG_LEVEL_KEY, nullptr, KEY_TYPE_SET, nullptr},
    {"/zor/public/system/monitor/message/post/", ZOR_MON_MSG_POST_KEY, nullptr, KEY_TYPE_SET, nullptr},
    {"/zor/public/system/monitor/commit/", ZOR_MON_COMMIT_KEY, nullptr, KEY_TYPE_COMMIT, nullptr},
    {"", -1, nullptr, KEY_TYPE_GET, nullptr},
};

namespace {

const char* const pName = "monitor module";
const char* const pVendor = "Quorvane Networks";
const char* const pVersion = "6.5.0";

// The module's own description record and its copy of the host's table.
// Both outlive a session; the next OpenSession overwrites them.
module_funcs local_funcs;
system_funcs sys_funcs;

const char* const kTag = "monitor";

const int kNoParameterBlock = -6;
const int kNoSessionData = -2;
const int kUnknownKey = -1;
const int kInvalidParameter = -6;
const int kIncompatibleHost = -7;
const int kOutOfMemory = -8;
const int kNotImplemented = -9999;
const int kCommitFailed = -9999;

void logLine(const char* text, const char* detail = "")
{
    zor_logstream << kTag << text << detail << std::endl;
}

template <typename T>
T smaller(T a, T b)
{
    return a < b ? a : b;
}

int replyUnknownKey(ZorModParam* parms, moduleData* data, const char* text)
{
    std::strncpy(data->monitorData, text, sizeof(data->monitorData) - 1);
    data->monitorData[sizeof(data->monitorData) - 1] = '\0';
    parms->setMessage(data->monitorData, kUnknownKey);
    return kUnknownKey;
}

// A missing level is not read as 0: turning debugging off is a deliberate
// "0", never the accident of an empty value. The level stays as it was.
int setGlobalDebugLevel(ZorModParam* parms)
{
    const char* text = parms->getValue(1);
    if (text == nullptr || *text == '\0') {
        parms->setMessage(" No debug level given in the value", kInvalidParameter);
        return kInvalidParameter;
    }
    long level = std::strtol(text, nullptr, 10);
    if (level > INT_MAX) {
        level = INT_MAX;
    } else if (level < INT_MIN) {
        level = INT_MIN;
    }
    zorGlobalDebugLevel = static_cast<int>(level);
    return 0;
}

// An empty message would reach operators as a blank notice; it is refused
// and nothing is posted.
int postMessage(ZorModParam* parms)
{
    const char* text = parms->getValue(1);
    if (text == nullptr || *text == '\0') {
        parms->setMessage(" No message text given in the value", kInvalidParameter);
        return kInvalidParameter;
    }
    std::printf("Post message (%s)\n", text);
    std::fflush(stdout);
    ZORUDPThread::postMessage(text);
    return 0;
}

// Set, add and delete handlers report configuration errors as
// MonitoringException; the client sees its message as the reply.
template <typename Dispatch>
int guardConfigurationErrors(ZorModParam* parms, Dispatch dispatch)
{
    try {
        return dispatch();
    } catch (const MonitoringException& e) {
        parms->setMessage(e.getMessage().c_str(), 0);
        return kInvalidParameter;
    }
}

// The steps every request entry point takes before it dispatches. Returns
// the session record, or null when the request is already answered in rc.
moduleData* checkRequest(ZorModParam* parms, void* pvSessionData, const char* logPrefix, int& rc)
{
    if (parms == nullptr) {
        rc = kNoParameterBlock;
        return nullptr;
    }
    logLine(logPrefix, parms->getKey(0));
    if (pvSessionData == nullptr) {
        parms->setMessage("No session data\n", kNoSessionData);
        rc = kNoSessionData;
        return nullptr;
    }
    return static_cast<moduleData*>(pvSessionData);
}

} // namespace

void InitializeData(moduleData* data)
{
    if (data != nullptr) {
        data->Index = 0;
        data->triggerIndex = 0;
        data->configCount = 0;
        data->sessionDirty = false;
        std::memset(data->monitorData, 0, sizeof(data->monitorData));
    }
    monitorConfigs::initialize();
}

// The sizes hosts on the appliance's 32-bit target were written against.
// On a 64-bit build the pointers widen the two description records, and
// the clamping follows the records as laid out there.
static_assert(sizeof(moduleData) == 1044, "the session record is 1044 bytes on every target");
static_assert(sizeof(void*) != 4 || (sizeof(module_funcs) == 28 && sizeof(system_funcs) == 16),
              "the 32-bit records are 28 and 16 bytes");

extern "C" int OpenSession(module_funcs* my_funcs, system_funcs* _sys_funcs)
{
    logLine("::OpenSession");
    if (my_funcs != nullptr) {
        local_funcs.iStructSize = smaller<uint32_t>(my_funcs->iStructSize, sizeof(module_funcs));
    }
    local_funcs.iStructVersion = 1;
    local_funcs.pModuleName = pName;
    local_funcs.pModuleVendor = pVendor;
    local_funcs.pModuleVersion = pVersion;

    // Value-initialised, so no byte of the record is ever undefined.
    moduleData* data = new (std::nothrow) moduleData();
    local_funcs.private_data = data;
    if (data == nullptr) {
        logLine(" ERROR: OpenSession (): Out of memory. ", "local_funcs.private_data == NULL");
        local_funcs.iPrivateDataSize = 0;
        return kOutOfMemory;
    }
    local_funcs.iPrivateDataSize = sizeof(moduleData);
    // A host that knows a shorter record receives only its leading fields.
    if (my_funcs != nullptr) {
        std::memcpy(my_funcs, &local_funcs, smaller<size_t>(my_funcs->iStructSize, sizeof(module_funcs)));
    }

    if (_sys_funcs == nullptr) {
        logLine(" ERROR: OpenSession ():", "_sys_funcs == NULL");
        return kNoParameterBlock;
    }
    // Fields a shorter host table does not carry stay zero, so a missing
    // listener is seen as missing below.
    std::memset(&sys_funcs, 0, sizeof(sys_funcs));
    std::memcpy(&sys_funcs, _sys_funcs, smaller<size_t>(_sys_funcs->iStructSize, sizeof(system_funcs)));
    if (sys_funcs.iStructVersion < 1) {
        logLine(" ERROR: OpenSession (): ", "_sys_funcs not compatible");
        return kIncompatibleHost;
    }
    if (sys_funcs.session == nullptr) {
        zor_logstream << kTag << " ERROR: OpenSession (): " << "sys_funcs.session == NULL" << std::endl;
        zor_logstream.flush();
        return kNoParameterBlock;
    }

    InitializeData(data);
    for (ZorMonitorRegisterKey* row = monitorInitializeKeys; row->keyID != -1; ++row) {
        row->instance = data;
        sys_funcs.session->registerKey(row->keyName, row->keyID, row->cback, row->type, data);
    }
    return 0;
}

extern "C" int CloseSession(module_funcs* my_funcs)
{
    logLine("::CloseSession");
    if (my_funcs != nullptr && my_funcs->private_data != nullptr) {
        delete static_cast<moduleData*>(my_funcs->private_data);
    }
    return 0;
}

int OnGet(ZorModParam* parms, int iKeyId, int, void* pvSessionData)
{
    int rc = 0;
    moduleData* data = checkRequest(parms, pvSessionData, "::OnGet: ", rc);
    if (data == nullptr) {
        return rc;
    }
    switch (iKeyId) {
    case ZOR_MON_LOG_LIST_KEY:
        return monitorLogs::getLogList(parms, data);
    case ZOR_MON_LOG_KEY:
        return monitorLogs::getLogFile(parms, data);
    case ZOR_MON_LOG_GRAPH_KEY:
        parms->setMessage(" Log Graph function not implemented", kNotImplemented);
        return kNotImplemented;
    case ZOR_MON_VARIABLE_LIST_KEY:
        parms->setMessage(" Variable list function not implemented", kNotImplemented);
        return kNotImplemented;
    case ZOR_MON_VARIABLE_KEY:
        return monitorLogs::getMonitorVariable(parms, data);
    case ZOR_MON_INTERVAL_KEY:
        return monitorLogs::getMonitorInterval(parms, data);
    case ZOR_MON_COUNT_KEY:
        return monitorConfigs::getMonitorEntryCount(parms, data);
    case ZOR_MON_ENTRY_KEY:
        return monitorConfigs::getMonitorEntry(parms, data);
    case ZOR_MON_TRIGGER_COUNT_KEY:
        return monitorConfigs::getActionTriggerCount(parms, data);
    case ZOR_MON_ACTION_TRIGGER_KEY:
        return monitorConfigs::getActionTrigger(parms, data);
    case ZOR_MON_VARIABLE_COUNT_KEY:
        return monitorConfigs::getVariablesSupportedCount(parms, data);
    case ZOR_MON_VARIABLE_CONFIG_KEY:
        return monitorConfigs::getVariableConfiguration(parms, data);
    case ZOR_MON_VARIABLE_SUPPORTED_KEY:
        return monitorConfigs::getVariablesSupportedList(parms, data);
    case ZOR_MON_PRESET_TRIGGER_COUNT_KEY:
        return monitorConfigs::getPresetTriggerCount(parms, data);
    case ZOR_MON_PRESET_TRIGGER_KEY:
        return monitorConfigs::getPresetTrigger(parms, data);
    default:
        return replyUnknownKey(parms, data, " Unable to find key\n");
    }
}

int OnSet(ZorModParam* parms, int iKeyId, int, void* pvSessionData)
{
    int rc = 0;
    moduleData* data = checkRequest(parms, pvSessionData, "::OnSet: ", rc);
    if (data == nullptr) {
        return rc;
    }
    return guardConfigurationErrors(parms, [&] {
        switch (iKeyId) {
        case ZOR_MON_ENTRY_KEY:
            return monitorConfigs::setMonitorEntry(parms, data);
        case ZOR_MON_ACTION_TRIGGER_KEY:
            return monitorConfigs::setActionTrigger(parms, data);
        case ZOR_MON_GLOBAL_DEBUG_LEVEL_KEY:
            return setGlobalDebugLevel(parms);
        case ZOR_MON_MSG_POST_KEY:
            return postMessage(parms);
        default:
            return replyUnknownKey(parms, data, "Unable to find key\n");
        }
    });
}

int OnAdd(ZorModParam* parms, int iKeyId, int, void* pvSessionData)
{
    int rc = 0;
    moduleData* data = checkRequest(parms, pvSessionData, "::OnAdd: ", rc);
    if (data == nullptr) {
        return rc;
    }
    return guardConfigurationErrors(parms, [&] {
        switch (iKeyId) {
        case ZOR_MON_ENTRY_KEY:
            return monitorConfigs::addMonitorEntry(parms, data);
        case ZOR_MON_ACTION_TRIGGER_KEY:
            return monitorConfigs::addActionTrigger(parms, data);
        default:
            return replyUnknownKey(parms, data, "Unable to find key\n");
        }
    });
}

int OnDel(ZorModParam* parms, int iKeyId, int, void* pvSessionData)
{
    int rc = 0;
    moduleData* data = checkRequest(parms, pvSessionData, "::OnDel: ", rc);
    if (data == nullptr) {
        return rc;
    }
    return guardConfigurationErrors(parms, [&] {
        switch (iKeyId) {
        case ZOR_MON_ENTRY_KEY:
            return monitorConfigs::delMonitorEntry(parms, data);
        case ZOR_MON_ACTION_TRIGGER_KEY:
            return monitorConfigs::delActionTrigger(parms, data);
        default:
            return replyUnknownKey(parms, data, "Unable to find key\n");
        }
    });
}

// A commit saves only what this session changed; a clean session leaves the
// configuration file alone.
int OnCommit(ZorModParam* parms, int, int, void* pvSessionData)
{
    if (parms == nullptr) {
        return kNoParameterBlock;
    }
    logLine("::OnCommit ");
    if (pvSessionData == nullptr) {
        parms->setMessage(" No session data\n", kNoSessionData);
        return kNoSessionData;
    }
    moduleData* data = static_cast<moduleData*>(pvSessionData);
    if (!data->sessionDirty) {
        parms->setMessage(" No session changes\n", 0);
        return 0;
    }
    try {
        return monitorConfigs::saveMonitorConfig(parms, data);
    } catch (const MonitoringException& e) {
        parms->setMessage(e.getMessage().c_str(), 0);
        return kCommitFailed;
    }
}
