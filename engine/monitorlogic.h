// The clock-free heart of the monitor thread: what a value is, when a
// schedule is due next, and how one sample of an entry is evaluated against
// its triggers. Nothing here reads a clock, a file or the network, so every
// rule can be played on a timeline of plain numbers.
#pragma once

#include "monitorlogline.h" // formatLocalTime, quoteValue
#include "monitoring.h"

#include <ctime>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace zormon {

/// One sampled value. A value is a number when the whole (trimmed) text is a
/// plain decimal number: optional sign, digits, optional fraction. Anything
/// else ("5x", "1e3", "inf", "0x10") is text.
struct Sample {
    bool isNumber = false;
    double number = 0;
    std::string text; ///< the trimmed text as read
};

/// Trims the raw text and classifies it; false for an empty text, which is
/// no value at all (a program that printed nothing).
bool parseSample(const std::string& raw, Sample* out);

/// A number as written in messages: up to six decimals, no trailing zeros.
std::string formatNumber(double number);

/// "dYYYYMMDD.log" of the local date of when.
std::string dayLogName(std::time_t when);

/// When an entry's schedule is due next, strictly after `after`:
/// - seconds N: after + N (N = 0 counts as 1);
/// - asynchronous: after + interval;
/// - daily (every K days) and weekly (every K weeks on the day): the next
///   local time of day on a day that counts. Days count from the calendar,
///   not from the start of the process: day D counts when D mod K = 0, with D
///   the number of days since 1970-01-01; a week W counts when W mod K = 0,
///   with W the number of weeks since Sunday 1970-01-04. K below 1 counts as 1.
///   A time of day that a DST change skips falls just after the gap; one that
///   occurs twice is sampled once.
/// - no schedule: never (the largest time).
std::time_t nextDue(const Frequency* schedule, std::time_t after, long interval);

/// A trigger's bounds, parsed once when the entry is taken up: the
/// configuration never changes under a kept state (a changed entry gets a new
/// one), so every sample compares against numbers already parsed.
struct TriggerBounds {
    bool usable = false; ///< an interval: both bounds are numbers
    Sample value;        ///< single-value trigger: its bound
    Sample low;          ///< interval trigger: its bounds
    Sample high;
};

/// The state of one configured entry between samples.
struct EntryState {
    MonitorEntry entry;    ///< the committed entry; its triggers hold the repeat histories
    std::string name;      ///< the entry's variable
    std::vector<TriggerBounds> bounds; ///< per trigger
    bool needsWindow = false;          ///< an average, minimum or maximum trigger looks at the window
    /// Numeric samples of the last interval; a vector, which costs nothing
    /// while empty (most entries keep none).
    std::vector<std::pair<std::time_t, double>> window;
    bool hasPrevious = false;
    Sample previous;
    std::vector<bool> armed;  ///< per trigger: edge-triggered ones fire only when armed
    /// Samples a trigger's condition must hold on in a row before it fires
    /// (alerting.conf's hold; 1: at once). Not part of the entry's content.
    int hold = 1;
    std::vector<int> run;     ///< per trigger: samples in a row its condition held on
    std::time_t nextSample = 0;
    bool textRefusalReported = false;
    Sample latest;            ///< the last available sample, for the variable key
    std::time_t latestAt = 0; ///< when latest was taken; 0: never

    /// Taken by value: a load moves its parsed entry in rather than keeping
    /// two copies of the table. Its signature (entrySignature) is not kept:
    /// a reload computes it from the entry.
    explicit EntryState(MonitorEntry configured);
};

/// Everything that identifies an entry's configuration (variable, log flag,
/// schedule, triggers and their actions): equal signatures mean a reload left
/// the entry unchanged, so its state is kept.
std::string entrySignature(const MonitorEntry& entry);

/// A trigger that fired, with what its action's repeat gate said.
struct Firing {
    int trigger = 0;
    std::string value;   ///< the examined value as written (quoted if text)
    bool isNumber = false;
    std::string message; ///< "NAME=VALUE DESCRIPTION"
};

/// What one sample did to an entry.
struct Evaluation {
    std::vector<Firing> performed; ///< firings that passed the repeat gate: their actions are to run
    std::vector<Firing> heldBack;  ///< firings the repeat gate held back
    std::vector<bool> holds; ///< per trigger: its condition holds now (value-changes: the value changed)
    std::vector<std::string> values; ///< per trigger: the value it examined, as written in messages
    std::string refusal;     ///< set once per entry: a trigger that cannot compare a text
};

/// Evaluates one available sample taken at `now` against every trigger of
/// the entry: updates the window (samples of the last `interval` seconds up
/// to and including this one), the previous value and the armed states, and
/// asks each fired trigger's action whether to perform (Action::shouldPerform
/// at `now`, not the process clock: a replay of stored samples gets the
/// same answers the thread gave).
Evaluation evaluateSample(EntryState& state, const Sample& sample, std::time_t now, long interval);

} // namespace zormon
