// Alerts with a life. Every (entry, trigger) of the committed configuration
// is an alert named by the entry's variable and the trigger's condition
// ("root-free-space is below 500"), so a delete that shifts indexes never
// gives one alert another's history. An alert is inactive, pending (its
// condition holds but not yet on the samples that alerting.conf's "hold"
// asks for), firing, or resolved; besides it may be flapping, acknowledged
// (its repeats stop until it resolves) or silenced (it is evaluated and
// logged, but sends nothing).
//
// The book is plain data and rules: the monitor thread owns one, guards it
// with its mutex and saves it to the state file; nothing here reads a clock
// or does I/O besides load() and save().
#pragma once

#include "zorexpected.h"

#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zormon {

enum class AlertState { inactive, pending, firing, resolved };

/// "inactive", "pending", "firing" or "resolved".
const char* stateName(AlertState state);

/// What alerting.conf says. Every part is off (or its default) unless written,
/// so a configuration without the file behaves as it always did.
struct AlertingSettings {
    /// "hold VARIABLE N": a trigger on VARIABLE fires once its condition held
    /// on N samples in a row.
    std::map<std::string, int> hold;
    /// "flap N MINUTES": more than flapChanges changes of state within
    /// flapSeconds make an alert flapping. 0: off.
    int flapChanges = 0;
    long flapSeconds = 0;
    /// "resolved CHANNEL...": the channels of resolved notices, among those
    /// that fired the alert (log, email, udp, trap).
    std::set<std::string> resolvedChannels{"email", "log"};
    /// "alertmanager URL", one a member of a cluster.
    std::vector<std::string> managers;
    /// "label NAME=VALUE", added to every alert sent to the managers.
    std::vector<std::pair<std::string, std::string>> labels;
};

/// Reads alerting.conf; lines that cannot be used are described in *problems
/// ("alerting.conf line N: ...") and left out.
AlertingSettings parseAlertingSettings(const std::string& confText, std::vector<std::string>* problems);

/// A duration as written after --for: a whole number with a unit s, m, h or
/// d, or several ("1h30m"); from a minute to a year.
zor::Expected<long> parseDuration(const std::string& text);
/// 90 -> "1m30s", 7200 -> "2h".
std::string formatDuration(long seconds);

/// An alert's name: its entry's variable and its trigger's description.
inline std::string alertName(const std::string& variable, const std::string& condition)
{
    return variable + " " + condition;
}

/// One alert as the book keeps it.
struct Alert {
    std::string variable;
    std::string condition; ///< the trigger's description ("exceeds 500")
    AlertState state = AlertState::inactive;
    std::time_t since = 0;      ///< when it went pending or firing
    std::string value;          ///< the value last examined, as written in messages
    std::string message;        ///< "NAME=VALUE DESCRIPTION" of the last sample that held
    std::time_t lastSent = 0;   ///< the last notification sent; 0: none in this firing
    unsigned long notifications = 0; ///< sent in this firing
    unsigned long suppressed = 0;    ///< firings the repeat gate held back in this firing
    std::time_t resolvedAt = 0;
    bool flapping = false;
    /// State changes within the flap window. A vector, which costs nothing
    /// while empty: a table of 100,000 entries has hundreds of thousands of
    /// alerts, nearly all of which never change.
    std::vector<std::time_t> changes;
    std::string acknowledgedBy;      ///< empty: not acknowledged
    std::vector<std::string> channels; ///< the channels that sent its alert in this firing
    int consecutive = 0; ///< samples in a row whose condition held (pending)

    std::string name() const { return alertName(variable, condition); }
};

/// A silence: alerts of one variable (and one condition, when given) send
/// nothing from starts to ends.
struct Silence {
    std::string id; ///< "s1", "s2", ...: never used twice in one state file
    std::string variable;
    std::string condition; ///< empty: every condition of the variable
    std::time_t starts = 0;
    std::time_t ends = 0;
    std::string comment;
    std::string author; ///< the session's peer user or the console user

    bool matches(const Alert& alert) const
    {
        return alert.variable == variable && (condition.empty() || alert.condition == condition);
    }
};

/// A matcher as an administrator writes it: "VARIABLE" or "VARIABLE CONDITION".
struct AlertMatcher {
    std::string variable;
    std::string condition;
};
zor::Expected<AlertMatcher> parseMatcher(const std::string& text);

/// An alert as reports show it, with what the book knows beside it.
struct AlertView {
    Alert alert;
    std::string name;
    std::string silencedBy; ///< the silence that holds it now; empty: none
};

/// The book keeps an alert only while it has a life: pending, firing,
/// resolved, or with changes toward flapping. An alert that is merely
/// inactive is the configuration's, not the book's: a table of 100,000
/// entries has hundreds of thousands of them, and the monitor thread names
/// them from its entries when a report asks for every alert.
class AlertBook {
public:
    /// The alert of (variable, condition), made inactive when new.
    Alert& at(const std::string& variable, const std::string& condition);
    /// Null when the book has no such alert.
    const Alert* find(const std::string& name) const;
    Alert* find(const std::string& name);
    /// Lets go of the alert when it is inactive with nothing to remember.
    void dropIfIdle(const std::string& name);

    /// The silence that holds the alert at now; null when none.
    const Silence* silenceFor(const Alert& alert, std::time_t now) const;
    /// Adds a silence and returns it (its id given here).
    Silence addSilence(const AlertMatcher& matcher, std::time_t now, long seconds, std::string comment,
                       std::string author);
    zor::Expected<void> removeSilence(const std::string& id);
    /// The silences in force at now, oldest first.
    std::vector<Silence> silences(std::time_t now) const;
    /// Drops silences that ended before now; true when one was dropped.
    bool expireSilences(std::time_t now);

    /// Acknowledges the firing alert the matcher names (a variable alone
    /// must name exactly one firing alert). The alert's name, or why not.
    zor::Expected<std::string> acknowledge(const AlertMatcher& matcher, const std::string& author);

    /// Alerts of the committed configuration: firing first (oldest first),
    /// then pending, resolved (newest first) and inactive; `idle` are the
    /// configuration's inactive alerts the book does not keep, reported
    /// among them. Without inactive, the inactive ones are left out before
    /// anything is copied: a large table's alerts are nearly all inactive.
    std::vector<AlertView> report(std::time_t now, bool inactive = true, std::vector<Alert> idle = {}) const;

    /// Removes alerts whose names are not in `configured` (their entry or
    /// trigger is gone) and returns them as they were.
    std::vector<Alert> retain(const std::set<std::string>& configured);
    /// Resolved alerts older than this are forgotten (the logs keep them):
    /// inactive again, and let go of unless they are near flapping.
    void forgetResolvedBefore(std::time_t when);

    /// The book as the state file holds it (JSON), and back. load() keeps
    /// the book as it was when the text is not a state file.
    std::string serialize() const;
    zor::Expected<void> load(const std::string& text);

    /// Something worth saving changed since the last takeChanged().
    void markChanged() { _changed = true; }
    bool takeChanged()
    {
        const bool was = _changed;
        _changed = false;
        return was;
    }

private:
    std::map<std::string, Alert> _alerts; ///< by name
    std::vector<Silence> _silences;
    unsigned long _nextSilence = 1;
    bool _changed = false;
};

/// Writes text to path atomically: a temporary file beside it, flushed to
/// disk, then renamed over it; the folder is made (0750) when missing.
zor::Expected<void> writeFileAtomically(const std::string& path, const std::string& text);

} // namespace zormon
