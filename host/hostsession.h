// One session of zorhost with a loaded module: the handshake, the requests
// and the end of the session, with everything the host observed.
#pragma once

#include "keyrouter.h"
#include "modulelibrary.h"
#include "request.h"
#include "zorexpected.h"
#include "zormodule.h"

#include <functional>
#include <optional>
#include <string>

/// An exception that left an entry point, as the host reports it.
struct EscapedException {
    std::string type;                   ///< demangled type name
    std::optional<std::string> message; ///< absent when the exception has none
};

/// What one request did.
struct RequestOutcome {
    std::optional<int> keyId;  ///< the id the entry point got; absent when the host refused the key
    std::optional<int> result; ///< absent when an exception escaped
    std::optional<int> msgID;
    int used = 0;
    std::string reply; ///< the used bytes, without a final zero byte
    unsigned long notices = 0;
    std::optional<EscapedException> exception;
    /// The host itself failed (out of memory while building the parameter
    /// block or copying the reply); absent otherwise. The module is not at fault.
    std::optional<std::string> hostError;
    std::string moduleStdout; ///< what the module printed on standard output, when captured
    /// After the request: whether the session holds configuration edits no
    /// commit has saved, as the module's session record says; absent when
    /// the module's record is not the monitor module's.
    std::optional<bool> sessionDirty;
};

/// What a host checks around each routed request of every session of the
/// process (zorhostd installs one; zorhost none). before: a refusal text,
/// which becomes the outcome's hostError, the module never seeing the
/// request; empty to send it. after: told every outcome of the module.
struct RequestScreen {
    std::function<std::string(const HostRequest& request, int keyId)> before;
    std::function<void(const HostRequest& request, int keyId, const RequestOutcome& outcome)> after;
};

class HostSession {
public:
    /// Installs the screen for every session of this process; set it before
    /// the first session opens.
    static void setRequestScreen(RequestScreen screen);

    HostSession(const ModuleLibrary& module, int msgSize);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    /// Runs OpenSession; its result, or absent when it threw (see *thrown).
    std::optional<int> open(std::optional<EscapedException>* thrown);
    /// Runs OpenSession and, when it did not return 0, closes what the module
    /// handed over and gives the one text every host reports: "OpenSession
    /// failed: result N" or "OpenSession failed: exception TYPE[: MESSAGE]".
    zor::Expected<void> start();
    /// Runs CloseSession once, if the module holds a session record.
    void close();

    RequestOutcome run(const HostRequest& request);

    /// From now on, what the module prints on standard output during a
    /// request goes into RequestOutcome::moduleStdout instead of this
    /// process's standard output. Returns false when no capture file can be
    /// made; output then stays where it was.
    bool captureStdout();

    /// For a process that never prints on its own standard output (the
    /// daemon): points fd 1 at one capture file for the rest of the
    /// process's life, and every session's captureStdout() shares it. A
    /// request then costs one look at the file's end instead of moving fd 1
    /// there and back (seven system calls). The file is shared, so requests
    /// must not run beside each other; the daemon's module lock sees to that.
    /// Returns false when no file can be made; output then stays where it was.
    static bool keepStdoutCaptured();

    const HostListener& listener() const { return _listener; }

    /// The module's own dirty flag for this session; see RequestOutcome::sessionDirty.
    std::optional<bool> sessionDirty() const;

private:
    const ModuleLibrary& _module;
    int _msgSize;
    HostListener _listener;
    module_funcs _moduleRecord{};
    system_funcs _systemTable{};
    bool _closed = false;
    int _captureFd = -1; ///< anonymous file that stands in for fd 1 during a request
    bool _captureShared = false; ///< _captureFd is the process's standing one, not this session's
};

/// Describes the exception being handled; call only inside a catch block.
EscapedException describeCurrentException();
