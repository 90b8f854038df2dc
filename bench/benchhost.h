// The benchmark's host side: loads a private copy of the monitor module,
// opens a session with a listener that keeps the key rows, and sends requests
// through the exported entry points with parameter blocks built exactly as
// the host process builds them.
#pragma once

#include "keyrouter.h"
#include "modulelibrary.h"
#include "zormodule.h"

#include <optional>
#include <string>
#include <vector>

namespace zorbench {

/// A request routed once, ahead of the measurement, as the host would route it.
struct Request {
    RequestEntryFunc entry = nullptr;
    int keyId = -1;
    int type = 0;
    void* instance = nullptr;
    std::string key;
    std::optional<std::string> value;
};

/// What a request returned.
struct Outcome {
    int result = 0;
    std::string reply;     ///< used bytes, without a final zero byte
    std::string exception; ///< set when an exception left the entry point
};

/// The starting reply size the host gives each parameter block.
constexpr int kReplySize = 1024;

/// A copy of the module file, loaded on its own: every copy has its own
/// static state (configuration store, key table), so each copy starts with an
/// empty store and loads Monitor.cfg at its first session.
class ModuleCopy {
public:
    /// Copies `modulePath` into `folder` under a fresh name and loads the copy.
    ModuleCopy(const std::string& modulePath, const std::string& folder);
    /// Closes the session if open, unloads the copy (unless unloading is
    /// off) and removes the file.
    ~ModuleCopy();

    /// Whether copies are unloaded when they go. A copy keeps its store and
    /// XML state until the process ends, by design; unloaded, that state is
    /// unreachable and a leak checker reports it. The smoke run, which may
    /// run under one, keeps its few copies loaded; a full run unloads them,
    /// since every load of a large table would otherwise stay in memory.
    static void setUnloadCopies(bool unload);
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;

    bool loaded() const { return _library.loaded(); }
    const std::string& error() const { return _error; }

    /// OpenSession with a full host table; its result.
    int openSession();
    void closeSession();
    bool sessionOpen() const { return _open; }

    /// Routes key for access type `type`; an unrouted request has no entry point.
    Request route(int type, const std::string& key, std::optional<std::string> value = std::nullopt) const;
    /// Sends a routed request; never throws.
    static Outcome send(const Request& request);
    /// Sends a routed request and only returns its result; exceptions pass to the caller.
    static int sendQuick(const Request& request);

private:
    std::string _path;
    std::string _error;
    ModuleLibrary _library;
    HostListener _listener;
    module_funcs _record{};
    system_funcs _table{};
    bool _open = false;
};

/// Key paths of the requests the benchmark sends.
namespace keys {
constexpr const char* kEntry = "/zor/public/system/monitor/config/monitor-entry/";
constexpr const char* kEntryCount = "/zor/public/system/monitor/config/monitor-entry-count/";
constexpr const char* kTrigger = "/zor/public/system/monitor/config/action-trigger/";
constexpr const char* kTriggerCount = "/zor/public/system/monitor/config/action-trigger-count/";
constexpr const char* kLog = "/zor/public/system/monitor/monitorLog/";
constexpr const char* kCommit = "/zor/public/system/monitor/commit/";
} // namespace keys

} // namespace zorbench
