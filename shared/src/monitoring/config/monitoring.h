// The monitoring configuration: monitor entries with their schedule and
// triggers, and MonitoringConfiguration, which reads and writes them as XML.
// This is the one header the request handlers include: it brings the whole
// model, the exception, and the process-wide XML environment that host code
// locks and clears around its own parses (xmlenvironment.h).
#pragma once

#include "action.h"
#include "actiontrigger.h"
#include "frequency.h"
#include "monitoringexception.h"
#include "xmlenvironment.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/dom/DOMNodeList.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

/// One monitored variable: whether it is logged, its schedule and its ordered
/// triggers. A value type: copies share nothing, so the store and the
/// handlers can copy entries in and out freely.
class MonitorEntry {
public:
    /// Gives a trigger value semantics: holds its own clone, copies clone.
    class ActionTriggerWrapper {
    public:
        ActionTriggerWrapper() noexcept = default;
        /// Holds trigger's clone; the caller keeps the trigger passed.
        explicit ActionTriggerWrapper(const ActionTrigger* trigger);
        ActionTriggerWrapper(const ActionTriggerWrapper& other);
        ActionTriggerWrapper(ActionTriggerWrapper&& other) noexcept;
        ActionTriggerWrapper& operator=(const ActionTriggerWrapper& other);
        ActionTriggerWrapper& operator=(ActionTriggerWrapper&& other) noexcept;
        ~ActionTriggerWrapper();

        /// The held trigger, still owned by the wrapper; null when empty.
        ActionTrigger* operator()() { return _trigger; }
        const ActionTrigger* operator()() const { return _trigger; }

    private:
        ActionTrigger* _trigger = nullptr;
    };

    MonitorEntry() = default;
    /// Holds frequency's clone; throws "NULL Frequency specified" for null.
    MonitorEntry(bool log, std::string variableName, const Frequency* frequency);
    MonitorEntry(const MonitorEntry& other);
    MonitorEntry(MonitorEntry&& other) noexcept;
    MonitorEntry& operator=(const MonitorEntry& other);
    MonitorEntry& operator=(MonitorEntry&& other) noexcept;
    ~MonitorEntry();

    bool isLog() const { return _log; }
    /// Does not check the triggers already held.
    void setLog(bool log) { _log = log; }
    std::string getVariableName() const { return _variableName; }
    void setVariableName(std::string name) { _variableName = std::move(name); }

    /// The schedule (borrowed), null when there is none.
    Frequency* getFrequency() { return _frequency; }
    const Frequency* getFrequency() const { return _frequency; }
    /// Holds frequency's clone; throws "NULL Frequency specified" for null.
    void setFrequency(const Frequency* frequency);

    /// Appends a clone. A trigger that looks at anything but the
    /// instantaneous value needs logged values, so a non-logged entry refuses it.
    void addActionTrigger(const ActionTrigger* trigger);
    void delActionTrigger(unsigned int index);
    /// Replaces the trigger at index with a clone; the logging rule is not applied.
    void modifyActionTrigger(unsigned int index, const ActionTrigger* trigger);
    /// The trigger at index (borrowed), null when index is out of range.
    ActionTrigger* getActionTrigger(unsigned int index);
    const ActionTrigger* getActionTrigger(unsigned int index) const;
    int getActionTriggerListLength() const { return static_cast<int>(_actionTriggers.size()); }

    void print() const;
    void swap(MonitorEntry& other) noexcept;

private:
    bool _log = false;
    std::string _variableName;
    Frequency* _frequency = nullptr;
    std::vector<ActionTriggerWrapper> _actionTriggers;
};

/// The file a path finally names, following a chain of symbolic links (also
/// to a target that does not exist yet); the path itself when it is no link.
std::string followSymbolicLinks(const std::string& path);

/// Reads, writes and renders the monitoring configuration documents. All
/// operations are static and parse in the process-wide XML environment; no
/// state survives between calls except its reporter and the printer's state.
class MonitoringConfiguration {
public:
    /// Starts the XML platform; must run before any other operation here.
    /// Starts and stops are counted: each initialize wants one terminate.
    static void initialize();
    /// Ends one initialize; the last one releases the kept request reader and
    /// the printer state and stops the XML platform.
    static void terminate();

    /// The entries of a configuration file, in document order. Read as the
    /// scanner goes, without a document tree: memory holds the table and one
    /// entry, and no step recurses over the document's nesting. A file larger
    /// than kMaxConfigurationFileSize (256 MiB) is refused as unreadable;
    /// lastLoadFailure then says so.
    static std::vector<MonitorEntry> load(const std::string& filename);
    /// The same for a document held in memory.
    static std::vector<MonitorEntry> loadText(const std::string& document);
    /// The entry described by one monitor-entry document.
    static MonitorEntry parseMonitorEntry(const std::string& input);
    /// A new trigger owned by the caller, or null when the text names no trigger kind.
    static ActionTrigger* parseActionTrigger(const std::string& input);

    /// Why the last load or loadPresets failed: the system's error text, "not
    /// a regular file", the parser's diagnostic with line and column, or the
    /// entry that the model refused. The exception's message only says what
    /// failed, in the fixed words clients and logs have always seen.
    static std::string lastLoadFailure();

    /// Replaces the file atomically with the document of all entries; on any
    /// failure the old file stays whole and "cannot open file for writing" is
    /// thrown. A symbolic link is followed: its target is replaced, in the
    /// target's folder, and keeps its owner, group and mode.
    static void save(const std::vector<MonitorEntry>& entries, const std::string& filename);
    /// One monitor-entry as XML text, without declaration or added line
    /// breaks: the bytes the printer makes of its document, written directly.
    static std::string generate(const MonitorEntry& entry);
    /// One action-trigger as XML text, without declaration or added line breaks.
    static std::string generate(const ActionTrigger* trigger);

    /// The preset-variable elements of a catalogue file, in document order.
    /// The list lives in its document, which is kept until the process ends.
    static xercesc::DOMNodeList* loadPresets(const std::string& filename);
    /// One preset element and its subtree as XML text.
    static std::string generatePreset(const xercesc::DOMNode* presetElement);
};
