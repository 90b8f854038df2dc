// The monitor module's key paths as host-side code names them: one table, so
// that the command line, show and diff and the console ask for the same
// keys. The module registers these paths itself; a host test checks that
// every one here is registered.
#pragma once

namespace monitorkeys {

constexpr const char* kRoot = "/zor/public/system/monitor/";
constexpr const char* kConfig = "/zor/public/system/monitor/config/";
constexpr const char* kCommit = "/zor/public/system/monitor/commit/";
constexpr const char* kEntryCount = "/zor/public/system/monitor/config/monitor-entry-count/";
constexpr const char* kEntry = "/zor/public/system/monitor/config/monitor-entry/";
constexpr const char* kTriggerCount = "/zor/public/system/monitor/config/action-trigger-count/";
constexpr const char* kTrigger = "/zor/public/system/monitor/config/action-trigger/";
constexpr const char* kPresetCount = "/zor/public/system/monitor/config/preset-trigger-count/";
constexpr const char* kPreset = "/zor/public/system/monitor/config/preset-trigger/";
constexpr const char* kVariable = "/zor/public/system/monitor/variable/";
constexpr const char* kVariableList = "/zor/public/system/monitor/variableList/";
constexpr const char* kLogList = "/zor/public/system/monitor/monitorLogList/";
constexpr const char* kLog = "/zor/public/system/monitor/monitorLog/";

} // namespace monitorkeys
