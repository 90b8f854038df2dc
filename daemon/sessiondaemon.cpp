#include "sessiondaemon.h"
#include "sessionconnection.h"

#include "audittrail.h"
#include "hostsession.h"
#include "linereader.h"
#include "protocol.h"
#include "replyformat.h"
#include "variableprefetch.h"
#include "request.h"
#include "sessionscript.h"
#include "showdiff.h"

#include "zorglobals.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pwd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

/// A reply that no client takes in while the daemon stops is given this long.
constexpr int kStoppingStallMs = 10000;
/// Messages quote at most this much of a client's line.
constexpr size_t kQuotedLength = 200;

std::string shortened(const std::string& text)
{
    return text.size() <= kQuotedLength ? text : text.substr(0, kQuotedLength) + "...";
}

constexpr size_t kLargeRequest = size_t(1) << 20;
/// Replies held for one write while more request lines wait, at most.
constexpr size_t kRepliesHeld = size_t(64) << 10;

bool isEdit(const HostRequest& r) { return r.type == KEY_TYPE_SET || r.type == KEY_TYPE_ADD || r.type == KEY_TYPE_DEL; }

bool succeeded(const RequestOutcome& o) { return !o.exception && o.result && *o.result >= 0; }

/// Why a connection ended, for the log.
const char* endingText(LineReader::Status status)
{
    switch (status) {
    case LineReader::Status::closed:
        return "the client ended it";
    case LineReader::Status::closedMidLine:
        return "the client went away in the middle of a request line, which was not run";
    case LineReader::Status::idle:
        return "idle";
    case LineReader::Status::stopped:
        return "zorhostd is stopping";
    default:
        return "the connection failed";
    }
}

/// The user name of uid, as silences and acknowledgements record their
/// author; "uid N" for a uid the password database does not know.
std::string userName(uid_t uid)
{
    std::vector<char> buffer(4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int failed = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (failed == ERANGE && buffer.size() < (size_t(1) << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (failed == 0 && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
            return found->pw_name;
        }
        return "uid " + std::to_string(uid);
    }
}

} // namespace

SessionDaemon::SessionDaemon(const ModuleLibrary& module, DaemonOptions options)
    : _module(module), _options(std::move(options)), _budget(_options.memoryBudgetBytes)
{
}

SessionDaemon::~SessionDaemon()
{
    if (!_stopping.load()) {
        stop();
    }
    for (int fd : _stopPipe) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void SessionDaemon::log(const std::string& text)
{
    std::lock_guard<FairMutex> lock(_moduleMutex);
    writeQueuedLog();
    zor_logstream << "zorhostd: " << text << std::endl;
}

void SessionDaemon::queueLog(const std::string& text)
{
    std::lock_guard<std::mutex> lock(_queueMutex);
    _queuedLog.push_back(text);
}

void SessionDaemon::writeQueuedLog()
{
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        lines.swap(_queuedLog);
    }
    for (const std::string& line : lines) {
        zor_logstream << line << std::endl;
    }
}


int SessionDaemon::serve(int signalFd, void (*reopenLog)())
{
    sd_notifyf(0, "READY=1\nSTATUS=listening on %s\nMAINPID=%lu", _options.socketPath.c_str(),
               static_cast<unsigned long>(getpid()));
    log("listening on " + _options.socketPath + " (version " + _options.version + ")");
    int status = 0;
    for (;;) {
        pollfd fds[2] = {{_listenFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        // Wakes each second to write what the monitor thread queued.
        int n = poll(fds, 2, 1000);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            log(std::string("cannot wait for clients: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (n == 0) {
            std::lock_guard<FairMutex> lock(_moduleMutex);
            writeQueuedLog();
            continue;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP) {
                    {
                        std::lock_guard<FairMutex> lock(_moduleMutex);
                        reopenLog();
                    }
                    log("log reopened (SIGHUP)");
                    continue;
                }
                log(std::string("stopping on ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
                break;
            }
        }
        if (fds[0].revents & POLLIN) {
            accept();
        }
    }
    stop();
    return status;
}

void SessionDaemon::reapFinished()
{
    for (auto it = _connections.begin(); it != _connections.end();) {
        if ((*it)->finished.load()) {
            (*it)->thread.join();
            it = _connections.erase(it);
        } else {
            ++it;
        }
    }
}


bool SessionDaemon::sendLine(int fd, const std::string& line, std::string* error)
{
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A client that takes in nothing for the idle time is given up,
            // and, once the daemon stops, one that takes in nothing for a while.
            bool stopping = _stopping.load();
            unsigned idle = _options.idleTimeoutSeconds;
            int timeoutMs = stopping ? kStoppingStallMs
                                     : (idle == 0 ? -1 : (idle > INT_MAX / 1000 ? INT_MAX : static_cast<int>(idle) * 1000));
            pollfd fds[2] = {{fd, POLLOUT, 0}, {_stopPipe[0], POLLIN, 0}};
            int ready = poll(fds, stopping ? 1 : 2, timeoutMs);
            if (ready == 0) {
                *error = "the client took in no reply bytes for " + std::to_string(timeoutMs / 1000) + " s";
                return false;
            }
            continue;
        }
        *error = std::string("cannot write to the client: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void SessionDaemon::serveConnection(Connection* c)
{
    const std::string name = "session " + std::to_string(c->id) + " (" + c->who + ")";
    std::unique_ptr<HostSession> session;
    bool edits = false;
    std::string ending;
    try {
        std::string refusal;
        {
            std::lock_guard<FairMutex> lock(_moduleMutex);
            session = std::make_unique<HostSession>(_module, _options.msgSize);
            // What the module prints goes into the reply line of its request.
            if (!session->captureStdout()) {
                refusal = "cannot capture the module's standard output";
            } else if (zor::Expected<void> opened = session->start(); !opened) {
                refusal = opened.error();
            }
            if (!refusal.empty()) {
                session.reset(); // CloseSession frees a record the module handed over
            }
        }
        std::string error;
        if (!refusal.empty()) {
            sendLine(c->fd, errorLine(refusal) + "\n", &error);
            ending = "not opened: " + refusal;
        } else if (!sendLine(c->fd, sessionOpenLine(getpid(), _options.version) + "\n", &error)) {
            ending = error;
        } else {
            log(name + " opened");
            if (_options.idleTimeoutSeconds > 0) {
                timeval idle{static_cast<time_t>(_options.idleTimeoutSeconds), 0};
                setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            }
            LineReader reader(c->fd, _stopping, _options.maxLineBytes, &_budget);
            unsigned long lineNumber = 0;
            std::string line;
            std::string user; // looked up at the first command: most sessions send none
            sessionscript::State script;
            // Replies not yet written: those of lines that came in one read
            // go out in one write, before the next read, so that none waits
            // for a line still to come.
            std::string replies;
            std::string answer;
            for (;;) {
                if (!replies.empty() && !reader.lineWaiting()) {
                    if (!sendLine(c->fd, replies, &error)) {
                        ending = "the client went away before its reply: " + error;
                        break;
                    }
                    replies.clear();
                }
                LineReader::Status status = reader.next(&line);
                answer.clear();
                bool failed = false;
                bool skip = script.active && script.failedLine != 0;
                if (status == LineReader::Status::line && !line.empty() && line[0] == '{') {
                    ++lineNumber;
                    if (!sessionscript::answerCommand(line, &script, &answer)) {
                        if (user.empty()) {
                            user = userName(c->uid);
                        }
                        answer = answerCommand(line, user);
                    }
                } else if (status == LineReader::Status::line && skip) {
                    ++lineNumber;
                    if (sessionscript::isBlankOrComment(line)) {
                        continue;
                    }
                    answer = sessionscript::skippedLine(lineNumber, script);
                } else if (status == LineReader::Status::line) {
                    if (!answerLine(*c, *session, line, ++lineNumber, &edits, &answer, &failed)) {
                        continue; // blank line or comment, as in a script
                    }
                } else if (skip && (status == LineReader::Status::tooLong || status == LineReader::Status::noMemory)) {
                    answer = sessionscript::skippedLine(++lineNumber, script);
                } else if (status == LineReader::Status::tooLong) {
                    ++lineNumber;
                    failed = true;
                    answer = errorLine("request line " + std::to_string(lineNumber) + " is longer than " +
                                       std::to_string(_options.maxLineBytes) + " bytes (" +
                                       std::to_string(reader.droppedBytes()) +
                                       "); it was refused and nothing was sent to the module");
                } else if (status == LineReader::Status::noMemory) {
                    ++lineNumber;
                    failed = true;
                    answer = errorLine("request line " + std::to_string(lineNumber) + " (" +
                                       std::to_string(reader.droppedBytes()) +
                                       " bytes) does not fit in the memory zorhostd gives all sessions together (" +
                                       std::to_string(_budget.total()) +
                                       " bytes, --memory-budget) while the others' requests use it; it was refused "
                                       "and nothing was sent to the module: try again later");
                } else {
                    // The connection ends: what was answered goes out first.
                    if (!replies.empty() && !sendLine(c->fd, replies, &error)) {
                        ending = "the client went away before its reply: " + error;
                        break;
                    }
                    if (status == LineReader::Status::idle) {
                        sendLine(c->fd,
                                 errorLine("no request for " + std::to_string(_options.idleTimeoutSeconds) +
                                           " s: the session is closed") + "\n",
                                 &error);
                        ending = "idle for " + std::to_string(_options.idleTimeoutSeconds) + " s";
                    } else if (status == LineReader::Status::stopped) {
                        sendLine(c->fd, errorLine("the daemon is stopping: the session is closed") + "\n", &error);
                        ending = endingText(status);
                    } else {
                        ending = endingText(status);
                        if (status == LineReader::Status::failed) {
                            ending += ": " + reader.error();
                        }
                    }
                    break;
                }
                if (failed && script.active && script.failedLine == 0) {
                    script.failedLine = lineNumber;
                }
                const bool large = line.capacity() > kLargeRequest || answer.capacity() > kLargeRequest;
                answer.push_back('\n'); // appended, not copied: a reply may be 64 MiB and more
                bool sent = true;
                if (large) {
                    sent = (replies.empty() || sendLine(c->fd, replies, &error)) && sendLine(c->fd, answer, &error);
                    replies.clear();
                } else {
                    if (replies.empty()) {
                        replies.swap(answer);
                    } else {
                        replies += answer;
                    }
                    // The rest go out before the next read (above).
                    if (replies.size() >= kRepliesHeld) {
                        sent = sendLine(c->fd, replies, &error);
                        replies.clear();
                    }
                }
                if (!sent) {
                    ending = "the client went away before its reply: " + error;
                    break;
                }
                // The memory of a large request goes back to the system, not
                // to this session's next one.
                if (large) {
                    std::string().swap(line);
                    std::string().swap(answer);
                    reader.requestDone();
                    malloc_trim(0);
                }
            }
        }
    } catch (const std::exception& e) {
        ending = std::string("the daemon failed in this session: ") + e.what();
    } catch (...) {
        ending = "the daemon failed in this session";
    }
    {
        std::lock_guard<FairMutex> lock(_moduleMutex);
        session.reset(); // CloseSession
    }
    {
        std::lock_guard<std::mutex> lock(c->fdMutex);
        close(c->fd);
        c->fd = -1;
    }
    c->endedWithEdits = edits;
    log(name + " closed: " + ending +
        (!edits ? ""
                : _stopping.load() ? "; its uncommitted edits are discarded"
                                   : "; its uncommitted edits stay in the shared store until a session with edits of "
                                     "its own commits"));
    --_active;
    c->finished = true;
}

std::string SessionDaemon::answerCommand(const std::string& line, const std::string& user) const
{
    if (!_commandHandler) {
        return errorLine("this daemon runs no monitor thread");
    }
    // The session outlives a handler that fails; the client hears why.
    try {
        return _commandHandler(line, user);
    } catch (const std::exception& e) {
        return errorLine(std::string("the command failed: ") + e.what());
    } catch (...) {
        return errorLine("the command failed");
    }
}

bool SessionDaemon::answerLine(const Connection& connection, HostSession& session, const std::string& line,
                               unsigned long lineNumber, bool* edits, std::string* answer, bool* failed)
{
    *failed = true; // until the module answered
    if (line.find('\0') != std::string::npos) {
        *answer = errorLine("request line " + std::to_string(lineNumber) +
                            " holds a NUL byte; nothing was sent to the module");
        return true;
    }
    zor::Expected<std::vector<HostRequest>> parsed = parseScript(line);
    if (!parsed) {
        std::string why = parsed.error();
        const std::string scriptPrefix = "script line 1: ";
        if (why.compare(0, scriptPrefix.size(), scriptPrefix) == 0) {
            why.erase(0, scriptPrefix.size());
        }
        *answer = errorLine("request line " + std::to_string(lineNumber) + ": " + shortened(why));
        return true;
    }
    std::vector<HostRequest>& requests = *parsed;
    if (requests.empty()) {
        return false;
    }
    const HostRequest& request = requests.front();
    // A variable's value may take a program's whole timeout to read: read it
    // before taking the lock that every session needs, and let the module
    // answer from it.
    std::unique_ptr<zormonitor::PrefetchedValue> prefetched = prefetchVariable(request);
    // A commit is recorded with the client's user, looked up before the lock.
    const bool audited = _audit != nullptr && request.type == KEY_TYPE_COMMIT;
    const std::string auditUser = audited ? userName(connection.uid) : std::string();
    RequestOutcome outcome;
    // Reads too go under the module mutex: the module is not thread-safe.
    // Its configuration store, scratch members, key table, log handlers'
    // buffers, XML error reporter and printer output state are process-wide
    // and unsynchronised, and it takes no locks of its own. The line is
    // parsed before and the reply formatted after; in between, the session
    // thread that holds the mutex may do this for us (fairmutex.h), except
    // with a prefetched value, which the module finds on this thread alone.
    auto call = [&] {
        writeQueuedLog();
        outcome = session.run(request);
        // Whether edits wait for a commit: the module's dirty flag says so.
        // A session that was dirty and is clean now has committed, and the
        // module wrote the whole store, every session's edits in it.
        if (outcome.sessionDirty) {
            bool wasDirty = *edits;
            *edits = *outcome.sessionDirty;
            if (*edits && succeeded(outcome) && isEdit(request)) {
                _storeUnsaved = true;
            } else if (wasDirty && !*edits) {
                _storeUnsaved = false;
            }
        } else if (succeeded(outcome) && isEdit(request)) {
            *edits = true;
            _storeUnsaved = true;
        } else if (succeeded(outcome) && request.type == KEY_TYPE_COMMIT && *edits) {
            // The module wrote the whole store, every session's edits in it.
            *edits = false;
            _storeUnsaved = false;
        }
        // The table is read again only for the record, under the same lock
        // as the commit, so that it is what the commit wrote.
        if (audited && commitWrote(outcome)) {
            std::vector<std::string> table;
            std::string readError;
            if (readEntries([&session](const HostRequest& r) { return session.run(r); }, &table, &readError)) {
                // connection.who ends in the client's pid.
                _audit->committed(auditUser, "socket:" + connection.who.substr(connection.who.rfind(' ') + 1),
                                  std::move(table));
            }
        }
    };
    if (prefetched) {
        std::lock_guard<FairMutex> lock(_moduleMutex);
        call();
    } else {
        _moduleMutex.run(call);
    }
    *failed = outcome.exception || outcome.hostError || !outcome.result || *outcome.result < 0;
    // Built outside the lock: a reply may be a whole log file.
    *answer = jsonLine(request, outcome, true);
    return true;
}

void SessionDaemon::stop()
{
    _stopping = true;
    sd_notify(0, "STOPPING=1");
    if (_listenFd >= 0) {
        close(_listenFd);
        _listenFd = -1;
        // Only the socket this daemon made: another may have replaced it.
        struct stat now{};
        if (stat(_options.socketPath.c_str(), &now) == 0 && now.st_dev == _socketDevice &&
            now.st_ino == _socketInode) {
            unlink(_options.socketPath.c_str());
        }
    }
    std::vector<bool> openAtStop;
    for (auto& c : _connections) {
        openAtStop.push_back(!c->finished.load());
    }
    // Wakes a session waiting to write a reply ...
    if (_stopPipe[1] >= 0 && write(_stopPipe[1], "x", 1) < 0) {
        // Only fails when the pipe is full, and then it is readable already.
    }
    // ... and one waiting for its next request.
    for (auto& c : _connections) {
        std::lock_guard<std::mutex> lock(c->fdMutex);
        if (c->fd >= 0) {
            shutdown(c->fd, SHUT_RD);
        }
    }
    _budget.interrupt(); // ... and one waiting for memory
    unsigned open = 0;
    unsigned withEdits = 0;
    size_t i = 0;
    for (auto& c : _connections) {
        c->thread.join();
        if (openAtStop[i++]) {
            ++open;
            withEdits += c->endedWithEdits ? 1 : 0;
        }
    }
    _connections.clear();
    bool unsaved;
    {
        std::lock_guard<FairMutex> lock(_moduleMutex);
        unsaved = _storeUnsaved;
    }
    // The console stops after the socket; its logins end with it.
    const unsigned logins = _consoleLogins ? _consoleLogins() : 0;
    const std::string consoleText =
        logins == 0 ? std::string()
                    : "; " + std::to_string(logins) + (logins == 1 ? " console login is" : " console logins are") +
                          " closed with the console";
    log("stopped: closed " + std::to_string(open) + (open == 1 ? " session" : " sessions") + ", " +
        std::to_string(withEdits) + " of them with uncommitted edits, which are discarded" +
        (unsaved && withEdits == 0 ? "; edits of sessions closed earlier without a commit are discarded too" : "") +
        consoleText);
}
