// The client side of zorhostd: one module session held by a running daemon,
// driven over its socket with the same requests and outcomes as a
// HostSession in process, so that zorhost prints the same either way.
#pragma once

#include "zorexpected.h"

#include "hostsession.h"
#include "request.h"

#include <optional>
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

    /// Requests sent ahead, for a script: send() puts a request on the wire
    /// without waiting for its reply and receive() reads the oldest reply
    /// not read yet, so the daemon works while the client prints. Between
    /// startScript() and endScript() the daemon runs nothing after the
    /// first failed request (protocol.h); endScript() reads the skipped
    /// replies of the requests sent after it.
    zor::Expected<void> startScript();
    zor::Expected<void> endScript();
    /// Nothing when the request is queued for sending; otherwise the
    /// failure that takes the place of its reply (a request no line can
    /// carry, or a closed session). flush() writes the queued lines at
    /// once, so the daemon reads them in one go; receive() flushes first.
    /// Replies that arrive while the socket has no room are kept, so a
    /// client and a daemon that both write cannot block each other. A
    /// failed write shows in the replies receive() reads.
    std::optional<RequestOutcome> send(const HostRequest& request);
    void flush();
    RequestOutcome receive();
    /// Whether a whole reply line has been read already.
    bool replyWaiting() const { return _pending.find('\n') != std::string::npos; }
    /// The socket, for waiting on it beside another input; -1 when closed.
    int fd() const { return _fd; }

    /// Ends the session: the daemon closes it in the module. Safe to repeat.
    void close();

    /// The daemon's process id, once open.
    long daemonPid() const { return _daemonPid; }

private:
    /// The request's line in *line, or the outcome that says why it cannot
    /// be sent: no connection, or a request one line cannot carry.
    std::optional<RequestOutcome> unsendable(const HostRequest& request, std::string* line) const;
    bool sendAll(const std::string& bytes, std::string* error);
    /// As sendAll, reading what the daemon writes meanwhile into _pending.
    bool sendReading(const std::string& bytes, std::string* error);
    /// A daemon command line that is answered with one line.
    zor::Expected<std::string> command(const std::string& line);
    bool readLine(std::string* line, std::string* error);

    std::string _socketPath;
    int _fd = -1;
    std::string _pending; ///< bytes read past the last complete line
    std::string _outgoing; ///< request lines queued by send()
    long _daemonPid = 0;
};

/// The request as one line of the wire (and script) form, without the line
/// feed. False with the reason when that form cannot carry it: a key with a
/// blank, a line feed or a NUL, a value with a line feed or a NUL.
bool requestLine(const HostRequest& request, std::string* line, std::string* error);

/// The outcome that a JSON reply line of zorhost or zorhostd describes.
/// False with the reason when the line is not such a reply.
bool outcomeFromReplyLine(const std::string& line, RequestOutcome* outcome, std::string* error);
