// The host's monitor thread: samples the variables that the committed
// Monitor.cfg names, on each entry's schedule, evaluates the entry's triggers
// and performs their actions (monitoring log, e-mail, UDP message, SNMP
// notification, shutdown, drive power-off).
//
// Use from the host daemon:
//
//     zormon::MonitorThreadOptions options;      // fixed paths, resolved under ZOR_ROOT
//     options.interval = 60;                     // --interval
//     options.keepLogsDays = 90;                 // --keep-logs
//     zormon::MonitorThread thread(options);
//     options.udpPost = ZORUDPThread::postMessage;  // the host's UDP channel
//     thread.start();                            // the host wires the module's variable keys
//     ...                                        // and its commits (configurationChanged())
//     thread.stop();                             // to the thread
//
// Tests give a virtual clock and fake samplers and call tick() themselves
// instead of start(): every rule then runs without sleeping.
//
// Files (every path resolved under ZOR_ROOT):
//   /etc/configs/monitor/Monitor.cfg      the committed configuration
//   /etc/configs/monitor/variables.conf   administrator-defined variables (variablecatalogue.h)
//   /etc/configs/monitor/snmp.conf        "trap-sink HOST[:PORT] COMMUNITY" lines
//   /etc/configs/monitor/actions.conf     "shutdown PROGRAM [ARG...]", "power-off-drive PROGRAM [ARG...]",
//                                         "delay SECONDS" (60), "boot-grace SECONDS" (600)
//   /etc/configs/monitor/alerting.conf    "hold VARIABLE N", "flap N MINUTES", "resolved CHANNEL...",
//                                         "alertmanager URL", "label NAME=VALUE" (alertbook.h)
//   /var/log/monitor/dYYYYMMDD.log        alert, resolved and sample lines (monitorlogline.h), one file a local day
//   /var/lib/zorhost/alerts.state         the alerts' states and the silences, across restarts
#pragma once

#include "alertbook.h"
#include "alertpush.h"
#include "monitoractions.h"
#include "monitorlogic.h"
#include "monitorsources.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zormon {

/// Result of currentValue for a name that no variable has.
constexpr int kUnknownVariable = -3;
/// Result of currentValue for a known variable that cannot be read now.
constexpr int kValueUnavailable = -9;

/// How a MonitorThread is set up. Paths are the system's fixed paths; the
/// thread resolves them under ZOR_ROOT when it is made.
struct MonitorThreadOptions {
    std::string configFile = "/etc/configs/monitor/Monitor.cfg";
    std::string variablesFile = "/etc/configs/monitor/variables.conf";
    std::string snmpFile = "/etc/configs/monitor/snmp.conf";
    std::string actionsFile = "/etc/configs/monitor/actions.conf";
    std::string alertingFile = "/etc/configs/monitor/alerting.conf";
    std::string stateFile = "/var/lib/zorhost/alerts.state";
    std::string logFolder = "/var/log/monitor/";
    /// Prefix of the kernel's files (/proc, /sys) for the built-in variables:
    /// empty reads this machine (they describe it, whatever the root).
    std::string systemRoot;
    /// Monitoring interval, seconds: the asynchronous schedule's period, the
    /// length of the average/minimum/maximum window, how long a sample answers
    /// the variable key.
    long interval = 60;
    /// Days of monitoring logs kept; older dYYYYMMDD.log files are removed.
    int keepLogsDays = 90;
    /// How long a variable's program may run before it is killed.
    int programTimeoutMs = 5000;
    /// Sends one UDP message (the host passes its UDP channel); when empty, a
    /// UDP action counts as failed.
    std::function<int(const char*)> udpPost;
    /// The clock; the system clock when null.
    std::shared_ptr<MonitorClock> clock;
    /// Readers that replace or add variables by name (tests, other platforms).
    std::map<std::string, Reader> samplers;
    MailSettings mail;
    /// Where the thread's own diagnostics go; standard error when empty.
    HostLog hostLog;
    /// Lets the command of a shutdown or drive power-off run. Off, the thread
    /// only logs the command it would run: tests and demos shut nothing down.
    bool allowDrasticCommands = true;
    /// The appliance label of the alerts sent to alert managers (its identity).
    std::string appliance;
    /// generatorURL of those alerts: the console's alerts page; empty: none.
    std::string generatorUrl;
};

/// The kinds of action, as the status and /metrics name them.
inline constexpr const char* kActionKinds[] = {"log", "email", "udp", "trap", "shutdown", "power-off-drive"};

/// What a status page shows.
struct MonitorThreadStatus {
    bool running = false;
    size_t entries = 0;
    /// Why the last load failed, "FILE: WHAT: WHY" (the parser's diagnostic
    /// with line and column, the entry the model refused, the system's
    /// error); empty when it succeeded. The host log has the same line.
    std::string configurationProblem;
    std::time_t lastLoad = 0;         ///< when a configuration was last taken up
    std::time_t lastTick = 0;
    unsigned long samples = 0;
    unsigned long unavailable = 0; ///< readings that gave no value
    unsigned long performed = 0;   ///< firings that passed the repeat gate
    unsigned long udpSent = 0;
    unsigned long trapsSent = 0;
    unsigned long trapFailures = 0;
    unsigned long mailSent = 0;
    unsigned long mailFailed = 0;
    size_t mailQueued = 0;
    size_t pendingDrastic = 0; ///< shutdowns and power-offs waiting for their delay
    /// Firings that passed the repeat gate, by variable and action kind
    /// (kActionKinds): one count per kind the firing's action carries. A
    /// shutdown or drive power-off counts when its trigger fires; its command
    /// runs after the delay unless the value recovers.
    std::map<std::pair<std::string, std::string>, unsigned long> alerts;
    /// Actions that failed, by kind: a log line not written, a UDP message
    /// or trap not sent, a mail given up, a shutdown or power-off command
    /// missing from actions.conf or failing. Kinds without failures are absent.
    std::map<std::string, unsigned long> actionFailures;
    /// Notifications (alerts and resolved notices) by channel (log, email,
    /// udp, trap) and outcome: sent, failed, or why nothing was sent
    /// (silenced, acknowledged, flapping, held: the repeat gate).
    std::map<std::pair<std::string, std::string>, unsigned long> notifications;
};

class MonitorThread {
public:
    explicit MonitorThread(MonitorThreadOptions options);
    /// Stops the thread if it runs.
    ~MonitorThread();
    MonitorThread(const MonitorThread&) = delete;
    MonitorThread& operator=(const MonitorThread&) = delete;

    /// Loads the configuration and starts sampling in a thread of its own.
    void start();
    /// Stops sampling and the mail worker (after its attempt under way, which
    /// the mail timeout bounds); pending shutdowns are dropped, and a
    /// shutdown or power-off command under way is waited for (its timeout
    /// bounds it).
    void stop();
    /// The committed configuration changed: the next tick reads it (and the
    /// variable, SNMP and action files) again.
    void configurationChanged();

    /// One pass at the clock's current time: reload if asked, sample what is
    /// due, evaluate, act, run shutdowns whose delay ran out. The thread runs
    /// it every second, and at once when a program has answered; tests call
    /// it directly with a virtual clock.
    ///
    /// A program variable is never waited for: a due entry starts its
    /// program (or joins the run under way, so one copy runs at a time), and
    /// the first tick after the program answered takes the result up as the
    /// entry's sample at that tick's time. Until then the entry is not
    /// sampled again. A reading that gives no value is named in the host log
    /// once, until the variable gives a value again.
    void tick();

    /// The variable key: the latest sample when younger than the interval,
    /// otherwise a reading made now; for a program variable that is the
    /// result of the run under way when there is one, else of a new run,
    /// waited for (its timeout bounds it). 0, kUnknownVariable or
    /// kValueUnavailable.
    int currentValue(const std::string& name, std::string* value);
    /// Every variable with its one-line definition, by name.
    std::vector<std::pair<std::string, std::string>> variables() const;
    MonitorThreadStatus status() const;

    /// The alerts of the committed configuration, firing first.
    std::vector<AlertView> alerts() const;
    /// The same without the inactive ones (pending, firing and resolved).
    std::vector<AlertView> activeAlerts() const;
    /// The silences in force.
    std::vector<Silence> silences() const;
    /// A silence of the alerts matcher names ("VARIABLE" or "VARIABLE
    /// CONDITION") for seconds from now; saved before it returns.
    zor::Expected<Silence> addSilence(const std::string& matcher, long seconds, const std::string& comment,
                                      const std::string& author);
    zor::Expected<void> removeSilence(const std::string& id);
    /// Stops the repeats of one firing alert until it resolves; its name.
    zor::Expected<std::string> acknowledge(const std::string& matcher, const std::string& author);
    /// The alert managers of alerting.conf and how each is doing.
    std::vector<ManagerStatus> alertManagers() const;

private:
    struct Pending {
        bool shutdown = true; ///< else a drive power-off
        int trigger = 0;
        std::time_t due = 0;
        std::string message;
    };
    struct Watched {
        std::unique_ptr<EntryState> state;
        std::vector<Pending> pending;
        bool unknownReported = false;
        /// The entry's variable in the current catalogue, looked up at each
        /// load (null: no such variable); the catalogue is replaced only by
        /// a load, on the sampling thread.
        const VariableDefinition* variable = nullptr;
        Sample sample; ///< reused for each reading, so that it keeps its buffer
        std::string raw;
        /// The program run this entry's sample waits for (ticket of awaiting);
        /// null when none.
        std::shared_ptr<ProgramSource> awaiting;
        unsigned long ticket = 0;
        /// Per trigger: its description, which with the variable names its alert.
        std::vector<std::string> conditions;
        /// Per trigger: the value last examined, which an inactive alert the
        /// book does not keep shows.
        std::vector<std::string> values;
    };
    using Catalogue = std::map<std::string, VariableDefinition>;

    void loadAll(std::time_t now);
    void loadSideFiles();
    /// Points every watched entry at its variable in the current catalogue.
    void resolveVariables();
    void sampleEntry(Watched& watched, std::time_t now);
    /// Takes up the awaited program result when it is there.
    void collect(Watched& watched, std::time_t now);
    /// One reading of the entry's variable (in watched.raw): a sample, or
    /// nothing at all when it gave no value.
    void takeReading(Watched& watched, bool available, std::time_t now);
    /// Kills the program runs under way.
    void cancelPrograms();
    /// Performs a firing's action. With `withheld` (why nothing is sent:
    /// "silenced by s1"), the alert is only logged and drastic actions still
    /// wait for their delay: a silence quiets notices, it never stops the
    /// protection of the hardware.
    void perform(Watched& watched, const Firing& firing, std::time_t now, const std::string& withheld = "");
    /// The alert states after one evaluation: firing, pending, resolved,
    /// flapping; notices sent; the alert managers told (monitoralerts.cpp).
    void updateAlerts(Watched& watched, const Evaluation& evaluation, std::time_t now);
    /// The resolved notice of an alert, on the channels that sent its alert
    /// and that alerting.conf's resolved line names.
    void notifyResolved(Watched& watched, int trigger, const std::vector<std::string>& channels,
                        const std::string& message, const std::string& value, std::time_t now);
    /// After a load: every configured trigger has its alert; alerts whose
    /// trigger is gone are dropped and ended at the managers. Under _mutex.
    void alignAlerts(std::time_t now);
    /// Silences that ran out, and resolved alerts forgotten after a week.
    void expireAlerts(std::time_t now);
    /// Writes the state file when the book changed.
    void saveAlerts(bool force = false);
    void loadAlerts();
    PushedAlert pushedOf(const Alert& alert) const;
    void countNotice(const std::string& channel, const std::string& outcome); // under _mutex
    /// The configuration's alerts the book does not keep, as inactive ones. Under _mutex.
    std::vector<Alert> idleAlerts() const;
    void runDrastic(Watched& watched, const Pending& pending, std::time_t now);
    void logHost(const std::string& text) const;
    std::string readFileText(const std::string& path) const;

    MonitorThreadOptions _options;
    std::shared_ptr<MonitorClock> _clock;
    /// The built-in variables, made once: the network rates keep their last
    /// counters across commits, so a reload does not cost a rate reading.
    std::vector<VariableDefinition> _builtins;
    MonitorLog _log;
    std::unique_ptr<MailQueue> _mail;

    mutable std::mutex _mutex; ///< guards what other threads read: _watched, _catalogue, _status
    std::vector<Watched> _watched;
    std::shared_ptr<const Catalogue> _catalogue;
    MonitorThreadStatus _status;
    std::vector<TrapSink> _sinks;
    ActionSettings _actions;
    AlertingSettings _alerting;
    AlertBook _book; ///< guarded by _mutex
    std::unique_ptr<AlertPusher> _pusher;
    std::mutex _saveMutex; ///< orders the state file's writers; taken before _mutex
    bool _saveFailing = false; ///< under _saveMutex
    std::string _lastDay;
    std::time_t _lastTick = 0;
    std::atomic<bool> _reload{true};
    /// Variables whose missing value the host log has told of, until they
    /// give one again (sampling thread only).
    std::set<std::string> _silentVariables;

    /// Shutdown and drive power-off commands under way.
    CommandRunner _commands;

    /// Wakes the sampling loop: a commit, a stop, a program's result. Shared
    /// with the program sources, whose workers may finish while this object
    /// is being destroyed.
    struct Wakeup {
        std::mutex mutex;
        std::condition_variable wake;
        bool readings = false; ///< a program answered since the last pass
    };
    std::shared_ptr<Wakeup> _wakeup = std::make_shared<Wakeup>();
    bool _stopping = false; ///< guarded by _wakeup->mutex
    std::thread _thread;
};

} // namespace zormon
