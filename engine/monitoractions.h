// What the monitor thread does when an action is performed, one channel a
// file: the monitoring log (monitorlog.cpp), e-mail through a bounded queue
// and its own worker (mailqueue.cpp), SNMP notifications (trapsender.cpp),
// the shutdown and drive power-off commands (drasticcommands.cpp). A UDP
// message goes out through the host's channel (MonitorThreadOptions). Each
// piece reports what went wrong to the host log and never throws into the
// sampling loop.
#pragma once

#include "zorexpected.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zormon {

/// A line for the host log (the thread adds its tag).
using HostLog = std::function<void(const std::string&)>;

/// The monitoring log: one file a local day, dYYYYMMDD.log, in one folder.
/// Every line is one write() on a descriptor opened with O_APPEND, so lines
/// of concurrent writers never interleave and a reader sees whole lines.
class MonitorLog {
public:
    MonitorLog(std::string folder, HostLog hostLog);
    /// Appends "YYYY-MM-DD HH:MM:SS " + text to the file of when's day. A
    /// failure is reported to the host log once, until a write succeeds again.
    bool append(std::time_t when, const std::string& text);
    /// Removes dYYYYMMDD.log files whose day lies keepDays or more days
    /// before now's local day; other files are left alone.
    void removeOld(std::time_t now, int keepDays);
    const std::string& folder() const { return _folder; }

private:
    std::string _folder;
    HostLog _hostLog;
    bool _failing = false;
};

/// How the mail worker reaches the server.
struct MailSettings {
    std::string server;      ///< empty: as ZORSmtp reads it from its configuration file
    int port = 0;            ///< 0: as read from the file
    int timeoutSeconds = 30; ///< every libesmtp protocol timeout
    int attempts = 3;        ///< tries per message
    int retryDelaySeconds = 30;
    size_t capacity = 64;    ///< queued messages; more are dropped and logged
};

/// E-mail sent by a worker thread of its own, so that a slow or silent
/// server never delays sampling. Every outcome (sent, failed attempt, given
/// up, dropped) goes to the host log.
class MailQueue {
public:
    MailQueue(MailSettings settings, HostLog hostLog);
    ~MailQueue();
    MailQueue(const MailQueue&) = delete;
    MailQueue& operator=(const MailQueue&) = delete;

    /// Queues one message; false when the queue is full (the message is dropped).
    bool post(std::vector<std::string> recipients, std::string subject, std::string body);
    /// Stops the worker after the attempt under way; queued messages are dropped.
    void stop();

    unsigned long sent() const;
    unsigned long failed() const;
    size_t queued() const;

private:
    struct Mail {
        std::vector<std::string> recipients;
        std::string subject;
        std::string body;
    };
    void work();
    /// One attempt; empty when sent, else why not.
    std::string sendOnce(const Mail& mail);

    MailSettings _settings;
    HostLog _hostLog;
    mutable std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<Mail> _queue;
    bool _stopping = false;
    unsigned long _sent = 0;
    unsigned long _failed = 0;
    std::thread _worker;
};

/// A notification receiver of snmp.conf: "trap-sink HOST[:PORT] COMMUNITY".
struct TrapSink {
    std::string peer; ///< HOST or HOST:PORT (port 162 when left out)
    std::string community;
};

/// Reads snmp.conf; lines that cannot be used are described in *problems.
std::vector<TrapSink> parseTrapSinks(const std::string& confText, std::vector<std::string>* problems);

/// Sends one SNMPv2c notification zorMonitorAlert, or zorMonitorResolved
/// when resolved (enterprise 32473, see ZOR-MONITOR-MIB.txt), carrying the
/// variable, the value, the trigger's description and the whole message; or
/// why it could not.
zor::Expected<void> sendTrap(const TrapSink& sink, const std::string& variable, const std::string& value,
                             const std::string& description, const std::string& message, bool resolved = false);

/// What actions.conf says of the drastic actions.
struct ActionSettings {
    std::vector<std::string> shutdown;      ///< program and arguments, resolved under ZOR_ROOT
    std::vector<std::string> powerOffDrive; ///< same; the variable's name is added when it runs
    long delay = 60;      ///< seconds a firing waits for the value to recover
    long bootGrace = 600; ///< seconds after boot without shutdowns or power-offs
};

/// Reads actions.conf: "shutdown PROGRAM [ARG...]", "power-off-drive PROGRAM
/// [ARG...]", "delay SECONDS", "boot-grace SECONDS"; lines that cannot be
/// used are described in *problems.
ActionSettings parseActionSettings(const std::string& confText, std::vector<std::string>* problems);

/// Shutdown and drive power-off commands under way, each on a thread of its
/// own so that one that takes long (a shutdown waits for services to stop)
/// never holds up sampling.
class CommandRunner {
public:
    /// What a command gave: the first line of its output, or why it failed.
    using Finished = std::function<void(const zor::Expected<std::string>& outcome)>;

    CommandRunner() = default;
    /// Waits for the commands under way.
    ~CommandRunner();
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    /// Starts argv (killed after a minute) and calls finished on its thread.
    void run(std::vector<std::string> argv, Finished finished);
    /// Waits for every command under way; its timeout bounds each.
    void wait();

private:
    struct Command {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex _mutex;
    std::vector<Command> _commands;
};

} // namespace zormon
