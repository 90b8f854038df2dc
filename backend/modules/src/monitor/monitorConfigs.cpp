// The handlers of the configuration keys: entries, triggers, variables,
// presets and the commit. One concern in one file (a little over 600
// lines): every handler shares the index and separator rules and the
// refusal texts defined at the top, and splitting them would spread those
// rules over several files.
#include "monitorConfigs.h"

#include "monitor.h"
#include "monitoring.h"
#include "zorMonitorVariable.h"
#include "zorglobals.h"
#include "zormodparam.h"
#include "zorpath.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

bool monitorConfigs::_monitorConfigActive = false;
std::string monitorConfigs::_XMLstring;
MonitorEntry monitorConfigs::_configEntry;
std::vector<MonitorEntry> monitorConfigs::_monitorTable;
XERCES_CPP_NAMESPACE::DOMNodeList* monitorConfigs::_presetTriggers = nullptr;
std::string monitorConfigs::_configFile;
std::string monitorConfigs::_presetFile;

namespace {

// Three separate constants: the directory is resolved (ZOR_ROOT) at every
// start-up attempt and each file name is appended to the path really used.
const char* const kConfigDirectory = "/etc/configs/monitor/";
const char* const kConfigFileName = "Monitor.cfg";
const char* const kPresetFileName = "PresetTriggers.cfg";

const int kNotFound = -3;
const int kBadRequest = -6;

// Key parts 1 to 6 are the registered path; what follows addresses the item.
const int kEntryPart = 7;
const int kTriggerPart = 8;

// Requests this module cannot even address are refused before anything is
// touched: the table, the scratch members, Index and the dirty flag stay as
// they were, and the client learns which part of its request is missing.
const char* const kNoEntryIndex = " No monitor entry index in key ";
const char* const kNoTriggerIndex = " No action trigger index in key ";
const char* const kNoVariableName = " No variable name in key ";
const char* const kNoPresetIndex = " No preset index in key ";
const char* const kNoEntryXml =
    " No XML text in the value: expected the entry index, a '/' and one monitor-entry";
const char* const kNoSetTriggerXml =
    " No XML text in the value: expected the entry index, a '/', the trigger index, a '/' and one action-trigger";
const char* const kNoAddTriggerXml =
    " No XML text in the value: expected the entry index, a '/' and one action-trigger";

// Index texts convert as strtol converts them in base 10 on the 32-bit
// appliance: blanks and a sign first, digits up to the first other
// character, 0 without digits, and values beyond 32 bits saturating at the
// ends. "abc" is therefore 0 and "-1" stays -1 (4294967295 as an Index).
// A part that is not there at all reads as no digits.
int32_t toIndex(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Sets the reply to the pieces joined as they are (each carries its own
// blanks), all under one message id, and returns that id as the result.
int reply(ZorModParam* param, int id, std::initializer_list<const char*> pieces)
{
    bool first = true;
    for (const char* piece : pieces) {
        if (first) {
            param->setMessage(piece, id);
            first = false;
        } else {
            param->appendMessage(piece != nullptr ? piece : "", id);
        }
    }
    return id;
}

int refuse(ZorModParam* param, const char* what, const char* subject)
{
    return reply(param, kBadRequest, {what, subject});
}

int refuseKey(ZorModParam* param, const char* what) { return refuse(param, what, param->getKey(0)); }

// The XML text of a set or add: everything after the separators that carry
// the indexes, '/' characters inside the XML included. Null when the value
// has fewer separators than the request needs.
const char* textAfterSeparators(ZorModParam* param, int separators)
{
    const char* text = param->getValue(0);
    for (int i = 0; text != nullptr && i < separators; ++i) {
        text = std::strchr(text, '/');
        if (text != nullptr) {
            ++text;
        }
    }
    return text;
}

// Entry selection, shared by the entry and the trigger handlers: converts
// indexText, records it in the session before it is checked (a negative
// index is stored as its unsigned value) and answers the not-found reply,
// which always quotes key part 7 (a set takes its index from the value).
bool findEntry(ZorModParam* param, moduleData* data, const char* indexText, uint32_t& index)
{
    index = static_cast<uint32_t>(toIndex(indexText));
    data->Index = index;
    if (index >= monitorConfigs::_monitorTable.size()) {
        reply(param, kNotFound, {" Monitor Entry index ", param->getKey(kEntryPart), " does not exist"});
        return false;
    }
    return true;
}

// Common first steps of the trigger handlers: the entry of key part 7,
// copied into _configEntry, which the handler then edits through the entry's
// own operations so that the entry's rules apply before the table changes.
bool selectTriggerEntry(ZorModParam* param, moduleData* data, uint32_t& entry)
{
    if (!findEntry(param, data, param->getKey(kEntryPart), entry)) {
        return false;
    }
    monitorConfigs::_configEntry = monitorConfigs::_monitorTable[entry];
    return true;
}

// The trigger-not-found reply. lead is " Action Trigger index " for get and
// delete and "Action Trigger index " (no leading blank) for set: clients of
// the set key match on that text as it has always been sent.
int triggerNotFound(ZorModParam* param, const char* lead)
{
    return reply(param, kNotFound,
                 {lead, param->getKey(kTriggerPart), " does not exist in Monitor Entry ", param->getKey(kEntryPart)});
}

// Trigger requests name the entry in key part 7 and, except count and add,
// the trigger in key part 8. Returns 0 when the key has what is needed.
int checkTriggerKey(ZorModParam* param, bool needsTrigger)
{
    if (param->getKey(kEntryPart) == nullptr) {
        return refuseKey(param, kNoEntryIndex);
    }
    if (needsTrigger && param->getKey(kTriggerPart) == nullptr) {
        return refuseKey(param, kNoTriggerIndex);
    }
    return 0;
}

// A commit killed between writing its temporary file and renaming it leaves
// ".Monitor.cfg.tmp.<pid>.<n>" beside the configuration (beside the file a
// symbolic link names, where the writer works). Nothing ever reads such a
// file, but on the appliance's small configuration partition the leftovers
// would pile up, so start-up removes those whose writer is gone. A file whose
// process still exists (or cannot be asked) is left alone: it may be a commit
// in progress in another host process. Only names of exactly that form are
// touched: never Monitor.cfg itself, its lock file or its kept rejected copies.
void removeAbandonedTemporaries(const std::string& configFile)
{
    const std::string target = followSymbolicLinks(configFile);
    const std::string::size_type slash = target.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return;
    }
    const std::string prefix = "." + target.substr(slash + 1) + ".tmp.";
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) {
            continue;
        }
        const char* digits = entry->d_name + prefix.size();
        char* end = nullptr;
        long pid = std::strtol(digits, &end, 10);
        if (end == digits || *end != '.' || !std::isdigit(static_cast<unsigned char>(digits[0])) || pid <= 0 ||
            pid > INT_MAX || pid == getpid()) {
            continue;
        }
        const char* sequence = end + 1;
        if (*sequence == '\0' || std::strspn(sequence, "0123456789") != std::strlen(sequence)) {
            continue;
        }
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            (void)unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

// Set when Monitor.cfg was there but did not load; cleared once a commit has
// kept it and replaced it. While set, a commit keeps the old file first: it
// may be a configuration that only a typing error keeps from loading, and
// the commit of a session that saw an empty table would otherwise lose it.
bool gRejectedFileInPlace = false;

bool copyFile(const std::string& from, const std::string& to)
{
    const int in = open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat status {};
    int out = -1;
    if (fstat(in, &status) == 0 && S_ISREG(status.st_mode)) {
        out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 07777);
    }
    bool ok = out >= 0;
    char buffer[16 * 1024];
    while (ok) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0; ok && done < got;) {
            ssize_t written = write(out, buffer + done, static_cast<size_t>(got - done));
            ok = written > 0 || (written < 0 && errno == EINTR);
            done += written > 0 ? written : 0;
        }
    }
    ok = ok && fsync(out) == 0;
    if (out >= 0) {
        ok = close(out) == 0 && ok;
        if (!ok) {
            unlink(to.c_str());
        }
    }
    close(in);
    return ok;
}

// Keeps the file that configFile names as configFile + ".rejected." + the UTC
// time, beside configFile: a hard link when it can be one, else a copy, so
// Monitor.cfg itself is never missing. The path kept, or empty on failure.
std::string keepRejectedFile(const std::string& configFile)
{
    const std::string target = followSymbolicLinks(configFile);
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = configFile + ".rejected." + stamp;
    for (int n = 1; n < 100; ++n) {
        // Two commits in one second keep two files.
        const std::string kept = n == 1 ? base : base + "." + std::to_string(n);
        if (link(target.c_str(), kept.c_str()) == 0) {
            return kept;
        }
        if (errno == EEXIST) {
            continue;
        }
        return copyFile(target, kept) ? kept : std::string();
    }
    return std::string();
}

} // namespace

// ---------------------------------------------------------------------------
// Start-up and commit

void monitorConfigs::initialize()
{
    if (_monitorConfigActive) {
        return;
    }
    const std::string directory = zorResolvePath(kConfigDirectory);
    _configFile = directory + kConfigFileName;
    _presetFile = directory + kPresetFileName;
    // Outside the guard: without an XML environment the module cannot work
    // at all, and the session opening must learn it.
    MonitoringConfiguration::initialize();
    removeAbandonedTemporaries(_configFile);
    const std::string* loading = &_configFile;
    try {
        _monitorTable = MonitoringConfiguration::load(_configFile);
        _monitorConfigActive = true;
        gRejectedFileInPlace = false;
        loading = &_presetFile;
        _presetTriggers = MonitoringConfiguration::loadPresets(_presetFile);
    } catch (const MonitoringException& e) {
        // The session opens all the same; until Monitor.cfg has loaded, every
        // session open tries again, and the catalogue is not retried once the
        // configuration is in. The exception's message is the fixed text that
        // says what failed; the line after it names the file and says why.
        zor_logstream << "Monitoring Configuration Exception: " << e.getMessage() << std::endl;
        zor_logstream << "monitor::initialize: cannot load " << *loading << ": "
                      << MonitoringConfiguration::lastLoadFailure() << std::endl;
        struct stat status {};
        if (loading == &_configFile && !_monitorConfigActive &&
            lstat(followSymbolicLinks(_configFile).c_str(), &status) == 0) {
            gRejectedFileInPlace = true;
        }
    }
}

int monitorConfigs::saveMonitorConfig(ZorModParam* param, moduleData* data)
{
    // A Monitor.cfg that did not load is kept before it is replaced; if it
    // cannot be kept, it is not replaced and the commit fails as a failed
    // write does.
    if (gRejectedFileInPlace) {
        struct stat status {};
        if (lstat(followSymbolicLinks(_configFile).c_str(), &status) == 0) {
            const std::string kept = keepRejectedFile(_configFile);
            if (kept.empty()) {
                zor_logstream << "monitor::saveMonitorConfig: cannot keep " << _configFile
                              << ", which did not load: " << std::strerror(errno) << std::endl;
                throw MonitoringException(std::string("cannot open file for writing"));
            }
            zor_logstream << "monitor::saveMonitorConfig: " << _configFile << " did not load; kept as " << kept
                          << std::endl;
        }
        gRejectedFileInPlace = false;
    }
    // The writer replaces the file atomically; when it throws, nothing below
    // runs: the session stays dirty and the monitor thread keeps the old file.
    MonitoringConfiguration::save(_monitorTable, _configFile);
    data->sessionDirty = false;
    reply(param, 0, {" Monitor configuration saved in ", _configFile.c_str()});
    ZORmonitorThread::setConfigurationChanged();
    return 0;
}

// ---------------------------------------------------------------------------
// Monitor entries

int monitorConfigs::getMonitorEntryCount(ZorModParam* param, moduleData* data)
{
    data->configCount = static_cast<uint32_t>(_monitorTable.size());
    std::snprintf(data->monitorData, sizeof data->monitorData, "%d", static_cast<int>(data->configCount));
    param->setMessage(data->monitorData, 0);
    return 0;
}

int monitorConfigs::getMonitorEntry(ZorModParam* param, moduleData* data)
{
    if (param->getKey(kEntryPart) == nullptr) {
        return refuseKey(param, kNoEntryIndex);
    }
    uint32_t index = 0;
    if (!findEntry(param, data, param->getKey(kEntryPart), index)) {
        return kNotFound;
    }
    _configEntry = _monitorTable[index];
    _XMLstring = MonitoringConfiguration::generate(_configEntry);
    param->setMessage(_XMLstring.c_str(), 0);
    return 0;
}

// The value's index selects the entry; key part 7 is what the not-found
// reply quotes, so a set without it is refused like a get without it.
int monitorConfigs::setMonitorEntry(ZorModParam* param, moduleData* data)
{
    if (param->getKey(kEntryPart) == nullptr) {
        return refuseKey(param, kNoEntryIndex);
    }
    const char* xml = textAfterSeparators(param, 1);
    if (xml == nullptr) {
        return reply(param, kBadRequest, {kNoEntryXml});
    }
    uint32_t index = 0;
    if (!findEntry(param, data, param->getValue(1), index)) {
        return kNotFound;
    }
    _XMLstring = xml;
    _configEntry = MonitoringConfiguration::parseMonitorEntry(_XMLstring);
    // The new entry replaces the old one wholly; nothing is merged.
    _monitorTable[index] = _configEntry;
    _XMLstring = MonitoringConfiguration::generate(_monitorTable[index]);
    data->sessionDirty = true;
    param->setMessage(_XMLstring.c_str(), 0);
    return 0;
}

// The reply is the text as received, not regenerated: the client sees
// exactly what it sent, and reads the stored form back with a get.
int monitorConfigs::addMonitorEntry(ZorModParam* param, moduleData* data)
{
    const char* value = param->getValue(0);
    _XMLstring = value != nullptr ? value : "";
    _configEntry = MonitoringConfiguration::parseMonitorEntry(_XMLstring);
    _monitorTable.push_back(_configEntry);
    data->sessionDirty = true;
    param->setMessage(_XMLstring.c_str(), 0);
    return 0;
}

int monitorConfigs::delMonitorEntry(ZorModParam* param, moduleData* data)
{
    if (param->getKey(kEntryPart) == nullptr) {
        return refuseKey(param, kNoEntryIndex);
    }
    uint32_t index = 0;
    if (!findEntry(param, data, param->getKey(kEntryPart), index)) {
        return kNotFound;
    }
    _monitorTable.erase(_monitorTable.begin() + index);
    data->sessionDirty = true;
    return reply(param, 0, {" Monitor Entry index ", param->getKey(kEntryPart), " has been removed"});
}

// ---------------------------------------------------------------------------
// Action triggers

int monitorConfigs::getActionTriggerCount(ZorModParam* param, moduleData* data)
{
    if (int refused = checkTriggerKey(param, false)) {
        return refused;
    }
    uint32_t entry = 0;
    if (!selectTriggerEntry(param, data, entry)) {
        return kNotFound;
    }
    int count = _configEntry.getActionTriggerListLength();
    data->actionCount = static_cast<uint32_t>(count);
    if (count == 0) {
        return reply(param, kNotFound, {" No Action Triggers in Monitor Entry ", param->getKey(kEntryPart)});
    }
    // Plural also for one: the text has always read this way.
    std::snprintf(data->monitorData, sizeof data->monitorData, "%d Action Triggers", count);
    param->setMessage(data->monitorData, 0);
    return 0;
}

int monitorConfigs::getActionTrigger(ZorModParam* param, moduleData* data)
{
    if (int refused = checkTriggerKey(param, true)) {
        return refused;
    }
    uint32_t entry = 0;
    if (!selectTriggerEntry(param, data, entry)) {
        return kNotFound;
    }
    int32_t trigger = toIndex(param->getKey(kTriggerPart));
    if (trigger < 0 || trigger >= _configEntry.getActionTriggerListLength()) {
        return triggerNotFound(param, " Action Trigger index ");
    }
    _XMLstring = MonitoringConfiguration::generate(_configEntry.getActionTrigger(static_cast<unsigned int>(trigger)));
    param->setMessage(_XMLstring.c_str(), 0);
    return 0;
}

int monitorConfigs::setActionTrigger(ZorModParam* param, moduleData* data)
{
    if (int refused = checkTriggerKey(param, true)) {
        return refused;
    }
    const char* xml = textAfterSeparators(param, 2);
    if (xml == nullptr) {
        return reply(param, kBadRequest, {kNoSetTriggerXml});
    }
    uint32_t entry = 0;
    if (!selectTriggerEntry(param, data, entry)) {
        return kNotFound;
    }
    // Only the upper bound is checked here, with the set's own text (no
    // leading blank). A negative index passes and is refused by the entry,
    // after the XML text has been parsed.
    int32_t trigger = toIndex(param->getKey(kTriggerPart));
    if (trigger >= _configEntry.getActionTriggerListLength()) {
        return triggerNotFound(param, "Action Trigger index ");
    }
    _XMLstring = xml;
    std::unique_ptr<ActionTrigger> parsed(MonitoringConfiguration::parseActionTrigger(_XMLstring));
    _configEntry.modifyActionTrigger(static_cast<unsigned int>(trigger), parsed.get());
    _monitorTable[entry] = _configEntry;
    _XMLstring = MonitoringConfiguration::generate(parsed.get());
    data->sessionDirty = true;
    param->setMessage(_XMLstring.c_str(), 0);
    return 0;
}

int monitorConfigs::addActionTrigger(ZorModParam* param, moduleData* data)
{
    if (int refused = checkTriggerKey(param, false)) {
        return refused;
    }
    const char* xml = textAfterSeparators(param, 1);
    if (xml == nullptr) {
        return reply(param, kBadRequest, {kNoAddTriggerXml});
    }
    uint32_t entry = 0;
    if (!selectTriggerEntry(param, data, entry)) {
        return kNotFound;
    }
    _XMLstring = xml;
    std::unique_ptr<ActionTrigger> parsed(MonitoringConfiguration::parseActionTrigger(_XMLstring));
    // The entry applies its rules (no missing trigger, logging for
    // non-instantaneous values) before the table changes.
    _configEntry.addActionTrigger(parsed.get());
    _monitorTable[entry] = _configEntry;
    _XMLstring = MonitoringConfiguration::generate(parsed.get());
    data->sessionDirty = true;
    param->setMessage(_XMLstring.c_str(), 0);
    return 0;
}

int monitorConfigs::delActionTrigger(ZorModParam* param, moduleData* data)
{
    if (int refused = checkTriggerKey(param, true)) {
        return refused;
    }
    uint32_t entry = 0;
    if (!selectTriggerEntry(param, data, entry)) {
        return kNotFound;
    }
    // As for set, a negative index passes here and the entry refuses it.
    int32_t trigger = toIndex(param->getKey(kTriggerPart));
    if (trigger >= _configEntry.getActionTriggerListLength()) {
        return triggerNotFound(param, " Action Trigger index ");
    }
    _configEntry.delActionTrigger(static_cast<unsigned int>(trigger));
    _monitorTable[entry] = _configEntry;
    data->sessionDirty = true;
    return reply(param, 0,
                 {" Action Trigger index ", param->getKey(kTriggerPart), " has been removed from Monitor Entry ",
                  param->getKey(kEntryPart)});
}

// ---------------------------------------------------------------------------
// Variables and presets

int monitorConfigs::getVariablesSupportedCount(ZorModParam* param, moduleData*)
{
    std::string text;
    ZORmonitorThread::getNumberOfVariables(&text);
    param->setMessage(text.c_str(), 0);
    return 0;
}

int monitorConfigs::getVariablesSupportedList(ZorModParam* param, moduleData*)
{
    std::string text;
    ZORmonitorThread::getVariableList(&text);
    param->setMessage(text.c_str(), 0);
    return 0;
}

// Without a name the host would be asked about "", which names nothing; the
// request is refused as the live-value key refuses it.
int monitorConfigs::getVariableConfiguration(ZorModParam* param, moduleData*)
{
    const char* part = param->getKey(kEntryPart);
    if (part == nullptr) {
        return refuseKey(param, kNoVariableName);
    }
    std::string name(part);
    std::string answer;
    int result = ZORmonitorThread::getDefinedValues(&name, &answer);
    param->setMessage(answer.c_str(), result);
    return result;
}

int monitorConfigs::getPresetTriggerCount(ZorModParam* param, moduleData*)
{
    if (_presetTriggers == nullptr) {
        param->setMessage("0", 0);
        return 0;
    }
    char count[32];
    std::snprintf(count, sizeof count, "%d", static_cast<int>(_presetTriggers->getLength()));
    param->setMessage(count, 0);
    return 0;
}

// A key without an index is refused rather than read as preset 0: a client
// browsing the catalogue that forgot the index should not get a preset it
// did not ask for.
int monitorConfigs::getPresetTrigger(ZorModParam* param, moduleData*)
{
    const char* part = param->getKey(kEntryPart);
    if (part == nullptr) {
        return refuseKey(param, kNoPresetIndex);
    }
    int32_t index = toIndex(part);
    XMLSize_t length = _presetTriggers != nullptr ? _presetTriggers->getLength() : 0;
    if (index < 0 || static_cast<XMLSize_t>(index) >= length) {
        // Unlike every other "does not exist" reply, the message id stays 0
        // and only the result says -3: catalogue clients read it this way.
        param->setMessage("preset trigger index out of bounds", 0);
        return kNotFound;
    }
    param->setMessage(MonitoringConfiguration::generatePreset(_presetTriggers->item(index)).c_str(), 0);
    return 0;
}
