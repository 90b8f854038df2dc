// zorhostd's core: the listening socket, one module session per client
// connection, and an orderly stop. The module is not thread-safe, so every
// call into it (and every line of the shared log stream) is made under one
// mutex; reading requests and writing replies happen outside it, so a large
// reply to one client holds the others up only while the module builds it.
#pragma once

#include "zorexpected.h"

#include "fairmutex.h"
#include "memorybudget.h"
#include "modulelibrary.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct DaemonOptions {
    std::string socketPath;
    std::optional<gid_t> allowedGroup; ///< besides root (and the daemon's own user)
    std::string allowedGroupName;
    unsigned maxClients = 64;
    size_t maxLineBytes = size_t(64) << 20;
    /// Request-line bytes all sessions together may hold; at least maxLineBytes.
    size_t memoryBudgetBytes = size_t(256) << 20;
    unsigned idleTimeoutSeconds = 600; ///< 0: never
    int msgSize = 1024;
    std::string version;
};

class AuditTrail;
class HostSession;

class SessionDaemon {
public:
    /// module stays loaded by the caller for the daemon's life; log is where
    /// the daemon's own lines go, under the module mutex.
    SessionDaemon(const ModuleLibrary& module, DaemonOptions options);
    ~SessionDaemon();
    SessionDaemon(const SessionDaemon&) = delete;
    SessionDaemon& operator=(const SessionDaemon&) = delete;

    /// Creates the socket folder if missing (mode 0750) and the socket
    /// (mode 0660, group: the allowed group).
    zor::Expected<void> listen();

    /// Serves clients until SIGTERM or SIGINT arrives on signalFd (a
    /// signalfd that also carries SIGHUP, which calls reopenLog). Then stops
    /// accepting, lets each request under way finish, closes every session
    /// and removes the socket. Returns the exit status.
    int serve(int signalFd, void (*reopenLog)());

    /// Writes one line of the daemon's own to the host log stream.
    void log(const std::string& text);

    /// Takes a log line from a thread that may hold locks of its own (the
    /// monitor thread): it is written the next time the module mutex is
    /// free, never while the caller waits for it, so no lock order can cycle.
    void queueLog(const std::string& text);

    /// Answers a daemon command: a request line whose first character is
    /// '{' (protocol.h). Called on the session's thread without the module
    /// mutex, by several sessions at once; user is the client's user name.
    /// The reply is one JSON line without its line feed. Set before serve().
    using CommandHandler = std::function<std::string(const std::string& line, const std::string& user)>;
    void setCommandHandler(CommandHandler handler) { _commandHandler = std::move(handler); }

    /// Where commits of the socket's sessions are recorded, with the
    /// client's user; none when null. Set before serve().
    void setAudit(AuditTrail* audit) { _audit = audit; }

    /// How many console logins are open, for the stop line.
    void setConsoleLogins(std::function<unsigned()> count) { _consoleLogins = std::move(count); }

    /// Sessions served over the socket now.
    unsigned activeSessions() const { return _active.load(); }

    /// The mutex that every call into the module is made under.
    FairMutex& moduleMutex() { return _moduleMutex; }

private:
    struct Connection;

    void accept();
    bool peerAllowed(int fd, std::string* who, std::string* refusal, uid_t* uid) const;
    void logRefusal(const std::string& text);
    void serveConnection(Connection* connection);
    /// The reply line to one request line, in *answer; false for a line that
    /// gets none (blank or comment). *edits: the session has uncommitted edits.
    /// *failed: the request failed as zorhost counts failures (an error line,
    /// an exception, a host error, no result or a negative one).
    bool answerLine(const Connection& connection, HostSession& session, const std::string& line,
                    unsigned long lineNumber, bool* edits, std::string* answer, bool* failed);
    /// The reply line to a daemon command line.
    std::string answerCommand(const std::string& line, const std::string& user) const;
    void reapFinished();
    void stop();
    bool sendLine(int fd, const std::string& line, std::string* error);
    /// Writes the queued lines; the caller holds _moduleMutex.
    void writeQueuedLog();

    const ModuleLibrary& _module;
    DaemonOptions _options;
    FairMutex _moduleMutex;
    std::mutex _queueMutex; ///< taken alone, never with another lock
    std::vector<std::string> _queuedLog;
    int _listenFd = -1;
    dev_t _socketDevice = 0;
    ino_t _socketInode = 0;
    int _stopPipe[2] = {-1, -1};
    std::atomic<bool> _stopping{false};
    std::atomic<unsigned> _active{0};
    MemoryBudget _budget;
    std::function<unsigned()> _consoleLogins;
    CommandHandler _commandHandler;
    AuditTrail* _audit = nullptr;
    unsigned long _nextSessionId = 1;
    // Refusal lines, written by the accepting thread alone.
    bool _refusalsLogged = false;
    std::chrono::steady_clock::time_point _lastRefusalLog;
    unsigned long _refusalsNotLogged = 0;
    std::list<std::unique_ptr<Connection>> _connections;
    /// Some successful edit has not been written by a commit yet. Edits of
    /// every session land in the one store, and a commit of a session that
    /// has changes of its own writes all of them.
    bool _storeUnsaved = false; // under _moduleMutex
};
