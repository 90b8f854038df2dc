// The client side of zorhostd: one module session held by a running daemon,
// driven over its socket with the same requests and outcomes as a
// HostSession in process, so that zorhost prints the same either way.
#pragma once

#include "zorexpected.h"

#include "hostsession.h"
#include "request.h"

#include <string>

class RemoteSession {
public:
    /// A session in the daemon listening on socketPath (see defaultSocketPath).
    explicit RemoteSession(std::string socketPath);
    ~RemoteSession();
    RemoteSession(const RemoteSession&) = delete;
    RemoteSession& operator=(const RemoteSession&) = delete;

    /// Connects and waits until the daemon has opened the module session.
    /// The error says why not (unreachable, refused, OpenSession failed).
    zor::Expected<void> open();

    /// Sends one request and reads back its outcome. What keeps the daemon
    /// from answering (a request a line cannot carry, a lost connection, the
    /// daemon's own error line) comes back as a hostError "zorhostd: ...",
    /// with no result: the host failed, not the module.
    RequestOutcome run(const HostRequest& request);

    /// Ends the session: the daemon closes it in the module. Safe to repeat.
    void close();

    /// The daemon's process id, once open.
    long daemonPid() const { return _daemonPid; }

private:
    bool sendAll(const std::string& bytes, std::string* error);
    bool readLine(std::string* line, std::string* error);

    std::string _socketPath;
    int _fd = -1;
    std::string _pending; ///< bytes read past the last complete line
    long _daemonPid = 0;
};

/// The request as one line of the wire (and script) form, without the line
/// feed. False with the reason when that form cannot carry it: a key with a
/// blank, a line feed or a NUL, a value with a line feed or a NUL.
bool requestLine(const HostRequest& request, std::string* line, std::string* error);

/// The outcome that a JSON reply line of zorhost or zorhostd describes.
/// False with the reason when the line is not such a reply.
bool outcomeFromReplyLine(const std::string& line, RequestOutcome* outcome, std::string* error);
