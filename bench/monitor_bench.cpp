// The monitor module's benchmark suite. It loads the built module with dlopen,
// opens a session with a listener and sends every request through the
// exported entry points with real parameter blocks, as the host process does,
// on generated configurations of three sizes. Beside the requests it measures
// the XML work they cannot avoid (parsing the request text and generating the
// reply text, directly with the same library), so that the table at the end
// can say what each request costs beyond its XML work and how that grows with
// the table. Beside them it measures floors from outside the project: a
// plain writer of the same reply bytes, a bare SAX2 parse of the same request
// texts, xmllint --noout and a bare SAX2 scan of the same Monitor.cfg, and cp
// with fsync of the same bytes as a commit.
//
//   zorbench [--sizes=100,10000,100000] [--log-mib=64] [--module=PATH]
//            [--work-dir=DIR] [--keep] [--smoke] [benchmark options]
//
// --smoke runs every benchmark once on small tables (for CI, so the suite
// cannot rot). The exit status is non-zero when any benchmark failed; a
// target that is not met is reported in the table, not in the status.

#include "benchconfig.h"
#include "benchhost.h"
#include "ratiotable.h"

#include "monitoring.h"
#include "xmltext.h"
#include "zorglobals.h"
#include "zormodparam.h"

#include <benchmark/benchmark.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/util/SecurityManager.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <limits.h>
#include <malloc.h>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zorbench {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<std::size_t> sizes = {100, 10000, 100000};
    std::size_t logBytes = 64u * 1024u * 1024u;
    std::string module;
    std::string workDir;
    bool keep = false;
    bool smoke = false;
};

Options gOptions;
std::string gWork;          // temporary folder of this run
std::string gModuleFolder;  // where module copies are loaded from
std::string gLogRoot;       // ZOR_ROOT holding the big log

// Per table size: its root (ZOR_ROOT), the size of its Monitor.cfg, and the
// module copy whose session serves the request benchmarks.
struct SizeState {
    std::size_t entries = 0;
    std::string root;
    std::size_t cfgBytes = 0;
    std::string setupError;
    std::unique_ptr<ModuleCopy> module;
};
std::vector<SizeState> gSizes;

// Requests address this many entries spread over the table, so that a large
// table is really walked, not one entry of it.
constexpr std::size_t kSample = 64;

std::string selfFolder()
{
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string full(path);
    return full.substr(0, full.find_last_of('/'));
}

long statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
        }
    }
    return -1;
}

// Linux resets the peak resident size to the current one on "5".
bool resetPeakMemory()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
}

void setRoot(const std::string& root) { ::setenv("ZOR_ROOT", root.c_str(), 1); }

std::vector<std::size_t> sampleIndexes(std::size_t entries)
{
    std::vector<std::size_t> indexes;
    for (std::size_t k = 0; k < kSample; ++k) {
        indexes.push_back(entries >= kSample ? k * entries / kSample : k % entries);
    }
    return indexes;
}

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// CPU time of this thread, user and system: what the work itself cost,
// whatever else the shared machine runs meanwhile. Requests, floors, loads
// and deletes are measured with it; commit (which waits for the disk), the
// log key and cat (another process) with the wall clock.
double threadSeconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sends a request as the host does. The host builds the parameter block
// before the call and frees it after; only the entry point's work is
// measured. Exceptions of the module pass to the caller.
int measuredSend(const Request& request, double* spent)
{
    ZorModParam parms(request.key.c_str(), request.value ? request.value->c_str() : nullptr, kReplySize);
    double start = threadSeconds();
    int result = request.entry(&parms, request.keyId, request.type, request.instance);
    *spent = threadSeconds() - start;
    return result;
}

// The module copy of a size with its session open; other sizes' copies are
// released first, so that only one large table is in memory at a time.
ModuleCopy* sessionFor(std::size_t sizeIndex, std::string* error)
{
    SizeState& size = gSizes[sizeIndex];
    if (!size.setupError.empty()) {
        *error = size.setupError;
        return nullptr;
    }
    for (std::size_t i = 0; i < gSizes.size(); ++i) {
        if (i != sizeIndex) {
            gSizes[i].module.reset();
        }
    }
    if (!size.module) {
        setRoot(size.root);
        auto module = std::make_unique<ModuleCopy>(gOptions.module, gModuleFolder);
        if (!module->loaded()) {
            *error = module->error();
            return nullptr;
        }
        int opened = module->openSession();
        if (opened != 0) {
            *error = "OpenSession returned " + std::to_string(opened);
            return nullptr;
        }
        Outcome counted = ModuleCopy::send(module->route(KEY_TYPE_GET, keys::kEntryCount));
        if (counted.result != 0 || counted.reply != std::to_string(size.entries)) {
            *error = "the module did not load the configuration (entry count: result " +
                     std::to_string(counted.result) + ", reply \"" + counted.reply + "\"" +
                     (counted.exception.empty() ? "" : ", " + counted.exception) + ")";
            return nullptr;
        }
        size.module = std::move(module);
    }
    return size.module.get();
}

// Sends a request that must succeed; false with the reason in *error.
bool sendOk(const Request& request, std::string* reply, std::string* error)
{
    Outcome outcome = ModuleCopy::send(request);
    if (outcome.result != 0 || !outcome.exception.empty()) {
        *error = request.key + ": result " + std::to_string(outcome.result) + " " + outcome.reply + " " +
                 outcome.exception;
        return false;
    }
    if (reply != nullptr) {
        *reply = std::move(outcome.reply);
    }
    return true;
}

std::string entryKey(std::size_t entry) { return keys::kEntry + std::to_string(entry); }
std::string triggerKey(std::size_t entry) { return keys::kTrigger + std::to_string(entry); }
std::string triggerKey(std::size_t entry, std::size_t trigger)
{
    return triggerKey(entry) + "/" + std::to_string(trigger);
}

// The XML texts of the sample entries and of one trigger of each, as the
// module replies them now.
struct Samples {
    std::vector<std::size_t> entries;
    std::vector<std::size_t> triggers;
    std::vector<std::string> entryXml;
    std::vector<std::string> triggerXml;
};

bool fetchSamples(ModuleCopy& module, std::size_t tableSize, Samples* samples, std::string* error)
{
    samples->entries = sampleIndexes(tableSize);
    samples->triggers.clear();
    samples->entryXml.clear();
    samples->triggerXml.clear();
    for (std::size_t k = 0; k < samples->entries.size(); ++k) {
        std::size_t e = samples->entries[k];
        std::size_t t = k % 3;
        std::string entryText;
        std::string triggerText;
        if (!sendOk(module.route(KEY_TYPE_GET, entryKey(e)), &entryText, error) ||
            !sendOk(module.route(KEY_TYPE_GET, triggerKey(e, t)), &triggerText, error)) {
            return false;
        }
        samples->triggers.push_back(t);
        samples->entryXml.push_back(std::move(entryText));
        samples->triggerXml.push_back(std::move(triggerText));
    }
    return true;
}

// ---------------------------------------------------------------------------
// The XML floor: what the same documents cost in the XML library alone.

// A parser as the module configures its own, made once and kept: the floor
// is the parse, not the parser's construction.
class FloorParser {
public:
    FloorParser()
    {
        _security.setEntityExpansionLimit(1000);
        _parser.setValidationScheme(xercesc::XercesDOMParser::Val_Never);
        _parser.setDoNamespaces(false);
        _parser.setDoSchema(false);
        _parser.setValidationSchemaFullChecking(false);
        _parser.setErrorHandler(&_errors);
        _parser.setLoadExternalDTD(false);
        _parser.setDisableDefaultEntityResolution(true);
        _parser.setCreateEntityReferenceNodes(false);
        _parser.setSecurityManager(&_security);
    }
    /// Parses text into a document, then lets the document go; false on a parse error.
    bool parse(const std::string& text)
    {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), u"floor",
                                          false);
        _parser.parse(source);
        bool ok = _parser.getErrorCount() == 0 && _parser.getDocument() != nullptr;
        _parser.resetDocumentPool();
        return ok;
    }

private:
    xercesc::HandlerBase _errors;
    xercesc::SecurityManager _security;
    xercesc::XercesDOMParser _parser;
};

// The module holding the size's table, with the table's sample texts; a
// benchmark that cannot have them is skipped with the reason (null).
ModuleCopy* samplesFor(benchmark::State& state, std::size_t sizeIndex, Samples* samples)
{
    std::string error;
    ModuleCopy* module = sessionFor(sizeIndex, &error);
    if (module == nullptr || !fetchSamples(*module, gSizes[sizeIndex].entries, samples, &error)) {
        state.SkipWithError(error.c_str());
        return nullptr;
    }
    return module;
}

void floorGenerateEntry(benchmark::State& state, std::size_t sizeIndex)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    std::vector<MonitorEntry> entries;
    for (const std::string& text : samples.entryXml) {
        entries.push_back(MonitoringConfiguration::parseMonitorEntry(text));
    }
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        std::string text = MonitoringConfiguration::generate(entries[k++ % entries.size()]);
        state.SetIterationTime(threadSeconds() - start);
        benchmark::DoNotOptimize(text.data());
    }
}

void floorGenerateTrigger(benchmark::State& state, std::size_t sizeIndex)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    std::vector<std::unique_ptr<ActionTrigger>> triggers;
    for (const std::string& text : samples.triggerXml) {
        triggers.emplace_back(MonitoringConfiguration::parseActionTrigger(text));
    }
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        std::string text = MonitoringConfiguration::generate(triggers[k++ % triggers.size()].get());
        state.SetIterationTime(threadSeconds() - start);
        benchmark::DoNotOptimize(text.data());
    }
}

void floorParse(benchmark::State& state, std::size_t sizeIndex, bool triggers)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    const std::vector<std::string>& texts = triggers ? samples.triggerXml : samples.entryXml;
    FloorParser parser;
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        bool parsed = parser.parse(texts[k++ % texts.size()]);
        state.SetIterationTime(threadSeconds() - start);
        if (!parsed) {
            state.SkipWithError("the floor parser refused a reply text of the module");
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Floors from outside the project: what the same bytes cost with the plainest
// code or another tool, measured in the same run.

// A reply written the plainest way: tags and values appended to one string,
// nothing escaped (the generated table's values need no escape), no check.
// No writer of these bytes can do less; the benchmark first checks that it
// gives exactly the module's bytes.
void plainTrigger(std::string& out, const ActionTrigger* trigger)
{
    static const char* const valueTypes[] = {"average", "instantaneous", "minimum", "maximum"};
    static const char* const comparisons[] = {"greater-than", "less-than", "equals", "not-equals"};
    static const char* const ranges[] = {"inside", "outside"};
    out += "<action-trigger value-type=\"";
    out += valueTypes[trigger->getValueType()];
    out += trigger->isPermanent() ? "\" permanent=\"true\">" : "\" permanent=\"false\">";
    if (trigger->isA() == singleValue) {
        auto single = static_cast<const SingleValueTrigger*>(trigger);
        out += "<single-value comparison=\"";
        out += comparisons[single->getComparisonType()];
        out += "\" value=\"";
        out += single->getValue();
        out += "\"/>";
    } else if (trigger->isA() == intervalValue) {
        auto interval = static_cast<const IntervalValueTrigger*>(trigger);
        out += "<interval-value low-value=\"";
        out += interval->getLowValue();
        out += "\" high-value=\"";
        out += interval->getHighValue();
        out += "\" inside-outside-range=\"";
        out += ranges[interval->getIntervalType()];
        out += "\"/>";
    } else {
        out += "<value-changes/>";
    }
    const Action& action = const_cast<ActionTrigger*>(trigger)->getActionReference();
    out += "<action max-frequency=\"";
    out += std::to_string(action.getMaxFrequency());
    const bool empty = action.getEmailListSize() == 0 && !action.isShutdown() && !action.isTrap() &&
                       !action.isUdp() && !action.isLog() && !action.isPowerOffDrive();
    out += empty ? "\"/>" : "\">";
    if (!empty) {
        for (int i = 0; i < action.getEmailListSize(); ++i) {
            out += "<email>";
            out += action.getEmail(static_cast<unsigned int>(i));
            out += "</email>";
        }
        out += action.isShutdown() ? "<shutdown/>" : "";
        out += action.isTrap() ? "<trap/>" : "";
        out += action.isUdp() ? "<udp/>" : "";
        out += action.isLog() ? "<log/>" : "";
        out += action.isPowerOffDrive() ? "<power-off-drive/>" : "";
        out += "</action>";
    }
    out += "</action-trigger>";
}

std::string plainEntry(const MonitorEntry& entry)
{
    static const char* const days[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    std::string out;
    out.reserve(1024);
    out += "<monitor-entry variable=\"";
    out += entry.getVariableName();
    out += entry.isLog() ? "\" log=\"true\">" : "\" log=\"false\">";
    const Frequency* frequency = entry.getFrequency();
    auto timeOfDay = [&out](const TimeOfDay& time) {
        out += "<time-of-day hour=\"";
        out += std::to_string(time.getHour());
        out += time.getMinutes() < 10 ? "\" min=\"0" : "\" min=\"";
        out += std::to_string(time.getMinutes());
        out += "\"/>";
    };
    switch (frequency != nullptr ? frequency->isA() : noFreq) {
    case asynchronous:
        out += "<frequency><asynchronous/></frequency>";
        break;
    case FreqType::seconds:
        out += "<frequency><seconds>";
        out += std::to_string(static_cast<const Seconds*>(frequency)->getSeconds());
        out += "</seconds></frequency>";
        break;
    case daily:
        out += "<frequency><daily every=\"";
        out += std::to_string(static_cast<const Daily*>(frequency)->getEvery());
        out += "\">";
        timeOfDay(static_cast<const Daily*>(frequency)->getTimeOfDay());
        out += "</daily></frequency>";
        break;
    case weekly: {
        auto weekly = static_cast<const Weekly*>(frequency);
        out += "<frequency><weekly every=\"";
        out += std::to_string(weekly->getEvery());
        out += "\" day-of-week=\"";
        out += days[weekly->getDayOfWeek()];
        out += "\">";
        timeOfDay(weekly->getTimeOfDay());
        out += "</weekly></frequency>";
        break;
    }
    case noFreq:
        out += "<frequency/>";
        break;
    }
    for (int i = 0; i < entry.getActionTriggerListLength(); ++i) {
        plainTrigger(out, entry.getActionTrigger(static_cast<unsigned int>(i)));
    }
    out += "</monitor-entry>";
    return out;
}

void floorPlainWrite(benchmark::State& state, std::size_t sizeIndex)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    std::vector<MonitorEntry> entries;
    for (const std::string& text : samples.entryXml) {
        entries.push_back(MonitoringConfiguration::parseMonitorEntry(text));
        if (plainEntry(entries.back()) != text) {
            state.SkipWithError("the plain writer does not give the module's bytes");
            return;
        }
    }
    std::size_t k = 0;
    for (auto _ : state) {
        double start = threadSeconds();
        std::string text = plainEntry(entries[k++ % entries.size()]);
        state.SetIterationTime(threadSeconds() - start);
        benchmark::DoNotOptimize(text.data());
    }
}

// The parser library's SAX2 reader with nothing behind it, set up as the
// module's (no validation, no namespaces, bounded entities).
class BareScanner {
public:
    BareScanner() : _reader(xercesc::XMLReaderFactory::createXMLReader())
    {
        _security.setEntityExpansionLimit(1000);
        _reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
        _reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
        _reader->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
        _reader->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &_security);
        _reader->setContentHandler(&_handler);
        _reader->setErrorHandler(&_handler);
    }
    bool scan(const xercesc::InputSource& source)
    {
        _reader->parse(source);
        return _reader->getErrorCount() == 0;
    }

private:
    xercesc::DefaultHandler _handler;
    xercesc::SecurityManager _security;
    std::unique_ptr<xercesc::SAX2XMLReader> _reader;
};

void floorSaxParse(benchmark::State& state, std::size_t sizeIndex)
{
    Samples samples;
    if (samplesFor(state, sizeIndex, &samples) == nullptr) {
        return;
    }
    BareScanner scanner;
    std::size_t k = 0;
    for (auto _ : state) {
        const std::string& text = samples.entryXml[k++ % samples.entryXml.size()];
        double start = threadSeconds();
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), u"floor",
                                          false);
        bool parsed = scanner.scan(source);
        state.SetIterationTime(threadSeconds() - start);
        if (!parsed) {
            state.SkipWithError("the SAX2 reader refused a reply text of the module");
            break;
        }
    }
}

std::string configFile(std::size_t sizeIndex) { return gSizes[sizeIndex].root + "/etc/configs/monitor/Monitor.cfg"; }

// The whole file scanned by a new SAX2 reader, as a load makes one.
void floorSaxScan(benchmark::State& state, std::size_t sizeIndex)
{
    const std::string file = configFile(sizeIndex);
    for (auto _ : state) {
        double start = threadSeconds();
        BareScanner scanner;
        xercesc::LocalFileInputSource source(XMLText(file).get());
        bool scanned = scanner.scan(source);
        state.SetIterationTime(threadSeconds() - start);
        if (!scanned) {
            state.SkipWithError("the SAX2 reader refused Monitor.cfg");
            break;
        }
    }
}

// Runs a program and waits for it; its CPU time (user and system, as a load
// is measured), or its wall time; negative when it failed.
double runProgram(std::vector<std::string> args, bool cpu)
{
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    Clock::time_point start = Clock::now();
    pid_t child = 0;
    int status = 0;
    rusage usage {};
    bool ok = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
              ::wait4(child, &status, 0, &usage) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    double wall = seconds(start, Clock::now());
    posix_spawn_file_actions_destroy(&actions);
    if (!ok) {
        return -1.0;
    }
    return cpu ? static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6
               : wall;
}

bool onPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// libxml2's checker reading the whole file without building anything.
void floorXmllint(benchmark::State& state, std::size_t sizeIndex)
{
    for (auto _ : state) {
        double spent = runProgram({"xmllint", "--noout", configFile(sizeIndex)}, true);
        if (spent < 0) {
            state.SkipWithError("xmllint --noout failed (is libxml2-utils installed?)");
            break;
        }
        state.SetIterationTime(spent);
    }
}

// The same bytes as a commit writes, copied by cp and made durable with
// fsync, on the wall clock as the commit.
void floorCopySync(benchmark::State& state, std::size_t sizeIndex)
{
    const std::string copy = gWork + "/floor-copy.cfg";
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        bool ok = runProgram({"cp", configFile(sizeIndex), copy}, false) >= 0;
        int fd = ::open(copy.c_str(), O_WRONLY | O_CLOEXEC);
        ok = ok && fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        state.SetIterationTime(seconds(start, Clock::now()));
        ::unlink(copy.c_str());
        if (!ok) {
            state.SkipWithError("cp and fsync failed");
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Requests through the entry points.

// Runs `body` for every iteration with the module's exceptions turned into a
// failed benchmark.
template <typename Body>
void guarded(benchmark::State& state, Body body)
{
    try {
        body();
    } catch (const MonitoringException& e) {
        state.SkipWithError(("MonitoringException: " + e.getMessage()).c_str());
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    } catch (...) {
        state.SkipWithError("an exception left an entry point");
    }
}

// Sends the prepared requests in turn, each measured. With restore, every
// measured request is followed by an unmeasured one that undoes it, so that
// every iteration sees the same table.
void measuredRequests(benchmark::State& state, const std::vector<Request>& timed, const std::vector<Request>& restore)
{
    guarded(state, [&] {
        std::size_t k = 0;
        for (auto _ : state) {
            const Request& request = timed[k % timed.size()];
            double spent = 0;
            int result = measuredSend(request, &spent);
            if (result != 0) {
                state.SkipWithError(("request failed: " + request.key).c_str());
                break;
            }
            if (!restore.empty()) {
                const Request& undo = restore[k % restore.size()];
                if (ModuleCopy::sendQuick(undo) != 0) {
                    state.SkipWithError(("request failed: " + undo.key).c_str());
                    break;
                }
            }
            ++k;
            state.SetIterationTime(spent);
        }
    });
}

enum class Op { entryCount, entryGet, entrySet, entryAdd, triggerCount, triggerGet, triggerSet, triggerAdd, triggerDel };

void requestBenchmark(benchmark::State& state, std::size_t sizeIndex, Op op)
{
    Samples samples;
    ModuleCopy* module = samplesFor(state, sizeIndex, &samples);
    if (module == nullptr) {
        return;
    }
    const std::size_t n = gSizes[sizeIndex].entries;
    std::vector<Request> timed;
    std::vector<Request> restore;
    for (std::size_t k = 0; k < samples.entries.size(); ++k) {
        const std::size_t e = samples.entries[k];
        const std::size_t t = samples.triggers[k];
        const std::string index = std::to_string(e);
        switch (op) {
        case Op::entryCount:
            timed.push_back(module->route(KEY_TYPE_GET, keys::kEntryCount));
            break;
        case Op::entryGet:
            timed.push_back(module->route(KEY_TYPE_GET, entryKey(e)));
            break;
        case Op::entrySet:
            // The entry's own text: the table stays as it is.
            timed.push_back(module->route(KEY_TYPE_SET, entryKey(e), index + "/" + samples.entryXml[k]));
            break;
        case Op::entryAdd:
            timed.push_back(module->route(KEY_TYPE_ADD, keys::kEntry, samples.entryXml[k]));
            restore.push_back(module->route(KEY_TYPE_DEL, entryKey(n)));
            break;
        case Op::triggerCount:
            timed.push_back(module->route(KEY_TYPE_GET, keys::kTriggerCount + index));
            break;
        case Op::triggerGet:
            timed.push_back(module->route(KEY_TYPE_GET, triggerKey(e, t)));
            break;
        case Op::triggerSet:
            timed.push_back(module->route(KEY_TYPE_SET, triggerKey(e, t),
                                          index + "/" + std::to_string(t) + "/" + samples.triggerXml[k]));
            break;
        case Op::triggerAdd:
            timed.push_back(module->route(KEY_TYPE_ADD, triggerKey(e), index + "/" + samples.triggerXml[k]));
            restore.push_back(module->route(KEY_TYPE_DEL, triggerKey(e, 3)));
            break;
        case Op::triggerDel: {
            // The last of the three triggers goes and comes back as it was.
            std::string last, error;
            if (!sendOk(module->route(KEY_TYPE_GET, triggerKey(e, 2)), &last, &error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            timed.push_back(module->route(KEY_TYPE_DEL, triggerKey(e, 2)));
            restore.push_back(module->route(KEY_TYPE_ADD, triggerKey(e), index + "/" + last));
            break;
        }
        }
    }
    measuredRequests(state, timed, restore);
}

// Deleting entry 0 moves every later entry down by one place; the entry is
// added again at the end (untimed), so the table keeps its size.
void deleteFirstEntry(benchmark::State& state, std::size_t sizeIndex)
{
    std::string error;
    ModuleCopy* module = sessionFor(sizeIndex, &error);
    if (module == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    const Request get = module->route(KEY_TYPE_GET, entryKey(0));
    const Request del = module->route(KEY_TYPE_DEL, entryKey(0));
    guarded(state, [&] {
        for (auto _ : state) {
            std::string text;
            if (!sendOk(get, &text, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            double spent = 0;
            int result = measuredSend(del, &spent);
            if (result != 0 || !sendOk(module->route(KEY_TYPE_ADD, keys::kEntry, text), nullptr, &error)) {
                state.SkipWithError(("delete of entry 0 failed " + error).c_str());
                break;
            }
            state.SetIterationTime(spent);
        }
    });
}

// A commit writes the whole table; a set of one entry to its own text makes
// the session dirty first (untimed).
void commitBenchmark(benchmark::State& state, std::size_t sizeIndex)
{
    std::string error;
    ModuleCopy* module = sessionFor(sizeIndex, &error);
    std::string first;
    if (module == nullptr || !sendOk(module->route(KEY_TYPE_GET, entryKey(0)), &first, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const Request dirty = module->route(KEY_TYPE_SET, entryKey(0), "0/" + first);
    const Request commit = module->route(KEY_TYPE_COMMIT, keys::kCommit);
    guarded(state, [&] {
        for (auto _ : state) {
            if (!sendOk(dirty, nullptr, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            Clock::time_point start = Clock::now();
            Outcome outcome = ModuleCopy::send(commit);
            Clock::time_point end = Clock::now();
            if (outcome.result != 0) {
                state.SkipWithError(("commit failed: " + outcome.reply + outcome.exception).c_str());
                break;
            }
            state.SetIterationTime(seconds(start, end));
        }
    });
    state.counters["cfg_bytes"] = static_cast<double>(gSizes[sizeIndex].cfgBytes);
}

// Session start on a fresh copy of the module: the load of Monitor.cfg (and
// of the preset catalogue). The peak resident memory during OpenSession,
// above what the process held before, is reported per byte of Monitor.cfg.
void loadBenchmark(benchmark::State& state, std::size_t sizeIndex)
{
    SizeState& size = gSizes[sizeIndex];
    if (!size.setupError.empty()) {
        state.SkipWithError(size.setupError.c_str());
        return;
    }
    for (SizeState& other : gSizes) {
        other.module.reset();
    }
    // Per load: the first one of a run also faults in code of the module and
    // the parser, which is no cost of the table; the median is reported.
    std::vector<double> peaks;
    for (auto _ : state) {
        auto module = std::make_unique<ModuleCopy>(gOptions.module, gModuleFolder);
        if (!module->loaded()) {
            state.SkipWithError(module->error().c_str());
            break;
        }
        setRoot(size.root);
        ::malloc_trim(0);
        long before = statusKiB("VmRSS");
        bool peakKnown = resetPeakMemory() && before >= 0;
        double start = threadSeconds();
        int opened = module->openSession();
        double spent = threadSeconds() - start;
        long high = statusKiB("VmHWM");
        if (peakKnown && high >= before) {
            peaks.push_back(static_cast<double>(high - before) * 1024.0);
        }
        Outcome counted = ModuleCopy::send(module->route(KEY_TYPE_GET, keys::kEntryCount));
        if (opened != 0 || counted.reply != std::to_string(size.entries)) {
            state.SkipWithError(("session start did not load the configuration: " + counted.reply).c_str());
            break;
        }
        state.SetIterationTime(spent);
        module.reset(); // unloading a large table takes a while; outside the measurement
    }
    state.counters["cfg_bytes"] = static_cast<double>(size.cfgBytes);
    double peak = -1.0;
    if (!peaks.empty()) {
        std::sort(peaks.begin(), peaks.end());
        peak = peaks[peaks.size() / 2];
    }
    state.counters["peak_bytes"] = peak;
    state.counters["peak_per_cfg_byte"] = peak >= 0 ? peak / static_cast<double>(size.cfgBytes) : -1.0;
}

// ---------------------------------------------------------------------------
// The log key against cat.

std::unique_ptr<ModuleCopy> gLogModule;

void logKeyBenchmark(benchmark::State& state)
{
    for (SizeState& other : gSizes) {
        other.module.reset();
    }
    setRoot(gLogRoot);
    if (!gLogModule) {
        gLogModule = std::make_unique<ModuleCopy>(gOptions.module, gModuleFolder);
        if (!gLogModule->loaded() || gLogModule->openSession() != 0) {
            state.SkipWithError(("cannot open a session: " + gLogModule->error()).c_str());
            gLogModule.reset();
            return;
        }
    }
    // Wall clock, as for cat, and the whole request: unlike the other
    // requests, the host's building and freeing of the parameter block count,
    // since the reply's memory is most of the work, as cat's process is.
    const Request request = gLogModule->route(KEY_TYPE_GET, std::string(keys::kLog) + "bench");
    guarded(state, [&] {
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            int result = 0;
            {
                ZorModParam parms(request.key.c_str(), nullptr, kReplySize);
                result = request.entry(&parms, request.keyId, request.type, request.instance);
            }
            state.SetIterationTime(seconds(start, Clock::now()));
            if (result != 0) {
                state.SkipWithError("the log key did not return the log");
                break;
            }
        }
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(gOptions.logBytes));
}

void catBenchmark(benchmark::State& state)
{
    const std::string file = gLogRoot + "/var/log/monitor/bench.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char cat[] = "cat";
    std::vector<char> path(file.begin(), file.end());
    path.push_back('\0');
    char* argv[] = {cat, path.data(), nullptr};
    for (auto _ : state) {
        pid_t child = 0;
        int status = 0;
        if (posix_spawnp(&child, "cat", &actions, nullptr, argv, environ) != 0 ||
            ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("cat failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(gOptions.logBytes));
}

// ---------------------------------------------------------------------------
// Set-up and registration.

bool parseSizes(const std::string& text, std::vector<std::size_t>* sizes)
{
    sizes->clear();
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        char* end = nullptr;
        unsigned long long n = std::strtoull(part.c_str(), &end, 10);
        if (end == part.c_str() || *end != '\0' || n == 0) {
            return false;
        }
        sizes->push_back(static_cast<std::size_t>(n));
    }
    return sizes->size() == 3 && (*sizes)[0] < (*sizes)[1] && (*sizes)[1] < (*sizes)[2];
}

// Takes this program's own options out of argv; the rest is for the library.
bool parseOptions(int* argc, char** argv)
{
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            std::size_t length = std::strlen(name);
            return arg.compare(0, length, name) == 0 ? argv[i] + length : nullptr;
        };
        if (arg == "--smoke") {
            gOptions.smoke = true;
            gOptions.sizes = {20, 200, 2000};
            gOptions.logBytes = 1024 * 1024;
        } else if (arg == "--keep") {
            gOptions.keep = true;
        } else if (const char* sizes = value("--sizes=")) {
            if (!parseSizes(sizes, &gOptions.sizes)) {
                std::cerr << "zorbench: --sizes needs three growing entry counts, e.g. 100,10000,100000\n";
                return false;
            }
        } else if (const char* mib = value("--log-mib=")) {
            long n = std::strtol(mib, nullptr, 10);
            if (n <= 0) {
                std::cerr << "zorbench: --log-mib needs a positive number\n";
                return false;
            }
            gOptions.logBytes = static_cast<std::size_t>(n) * 1024u * 1024u;
        } else if (const char* module = value("--module=")) {
            gOptions.module = module;
        } else if (const char* work = value("--work-dir=")) {
            gOptions.workDir = work;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    ModuleCopy::setUnloadCopies(!gOptions.smoke);
    if (gOptions.module.empty()) {
        gOptions.module = selfFolder() + "/libmonitor.so";
    }
    return true;
}

bool prepareFiles()
{
    std::string base = gOptions.workDir;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/zorbench.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::cerr << "zorbench: cannot create a folder in " << base << "\n";
        return false;
    }
    gWork = name.data();
    gModuleFolder = gWork + "/modules";
    gLogRoot = gWork + "/logs";
    std::string error;
    if (!makeFolders(gModuleFolder) || !writeLogFile(gLogRoot, "bench", gOptions.logBytes, &error)) {
        std::cerr << "zorbench: " << (error.empty() ? "cannot prepare " + gWork : error) << "\n";
        return false;
    }
    for (std::size_t entries : gOptions.sizes) {
        SizeState size;
        size.entries = entries;
        size.root = gWork + "/size-" + std::to_string(entries);
        std::cerr << "zorbench: writing a configuration of " << entries << " entries\n";
        size.cfgBytes = writeConfiguration(size.root, entries, &error);
        if (size.cfgBytes == 0) {
            size.setupError = error;
        }
        gSizes.push_back(std::move(size));
    }
    return true;
}

void registerSuite()
{
    // Requests are a few microseconds each; the rest take as long as they take.
    // Measured benchmarks report what they measured; the others (log key and
    // cat) the wall-clock time of their loop.
    auto configure = [](benchmark::internal::Benchmark* b, bool manual, benchmark::TimeUnit unit) {
        b->Unit(unit);
        if (manual) {
            b->UseManualTime();
        } else {
            b->UseRealTime();
        }
        if (gOptions.smoke) {
            b->Iterations(1);
        }
    };
    for (std::size_t i = 0; i < gSizes.size(); ++i) {
        const std::size_t n = gSizes[i].entries;
        // Loads of large tables take seconds each; a few are enough there.
        const int heavyIterations = static_cast<int>(std::max<std::size_t>(3, std::min<std::size_t>(100, 100000 / n)));
        auto* load = benchmark::RegisterBenchmark(benchName("load", n).c_str(), loadBenchmark, i);
        configure(load, true, benchmark::kMillisecond);
        if (!gOptions.smoke) {
            load->Iterations(heavyIterations);
        }
        configure(benchmark::RegisterBenchmark(benchName("floor-generate-entry", n).c_str(), floorGenerateEntry, i),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-parse-entry", n).c_str(), floorParse, i, false),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-generate-trigger", n).c_str(), floorGenerateTrigger, i),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-parse-trigger", n).c_str(), floorParse, i, true),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-plain-write-entry", n).c_str(), floorPlainWrite, i),
                  true, benchmark::kMicrosecond);
        configure(benchmark::RegisterBenchmark(benchName("floor-sax-parse-entry", n).c_str(), floorSaxParse, i),
                  true, benchmark::kMicrosecond);
        for (auto [what, body] : {std::pair{"floor-xmllint", &floorXmllint}, std::pair{"floor-sax-scan", &floorSaxScan},
                                  std::pair{"floor-cp-fsync", &floorCopySync}}) {
            // The smoke run keeps working where libxml2-utils is not installed.
            if (gOptions.smoke && body == &floorXmllint && !onPath("xmllint")) {
                continue;
            }
            auto* floor = benchmark::RegisterBenchmark(benchName(what, n).c_str(), body, i);
            configure(floor, true, benchmark::kMillisecond);
            if (!gOptions.smoke) {
                floor->Iterations(heavyIterations);
            }
        }
        const std::pair<const char*, Op> requests[] = {
            {"entry-count", Op::entryCount},     {"entry-get", Op::entryGet},     {"entry-set", Op::entrySet},
            {"entry-add", Op::entryAdd},         {"trigger-count", Op::triggerCount}, {"trigger-get", Op::triggerGet},
            {"trigger-set", Op::triggerSet},     {"trigger-add", Op::triggerAdd}, {"trigger-del", Op::triggerDel},
        };
        for (const auto& request : requests) {
            configure(benchmark::RegisterBenchmark(benchName(request.first, n).c_str(), requestBenchmark, i,
                                                   request.second),
                      true, benchmark::kMicrosecond);
        }
        auto* commit = benchmark::RegisterBenchmark(benchName("commit", n).c_str(), commitBenchmark, i);
        configure(commit, true, benchmark::kMillisecond);
        if (!gOptions.smoke) {
            commit->Iterations(heavyIterations);
        }
        configure(benchmark::RegisterBenchmark(benchName("entry-del0", n).c_str(), deleteFirstEntry, i), true,
                  benchmark::kMicrosecond);
    }
    configure(benchmark::RegisterBenchmark("log-key", logKeyBenchmark), true, benchmark::kMillisecond);
    configure(benchmark::RegisterBenchmark("log-cat", catBenchmark), false, benchmark::kMillisecond);
}

} // namespace
} // namespace zorbench

int main(int argc, char** argv)
{
    using namespace zorbench;
    if (!parseOptions(&argc, argv)) {
        return 2;
    }
    // The module writes a line to the host log per request; like a host
    // started with its log on /dev/null, the lines are formatted and written,
    // and then discarded.
    std::ofstream hostLog("/dev/null");
    zor_logstream.rdbuf(hostLog.rdbuf());

    // The suite's own options first (--help ends here), then the files.
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    MonitoringConfiguration::initialize();
    if (!prepareFiles()) {
        return 2;
    }
    registerSuite();
    // Colours only for a terminal, so that logs of bench/run stay readable.
    CollectingReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                        : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    for (SizeState& size : gSizes) {
        size.module.reset();
    }
    gLogModule.reset();

    TableSizes sizes{gOptions.sizes[0], gOptions.sizes[1], gOptions.sizes[2]};
    printRatioTable(std::cout, reporter.figures(), sizes, gOptions.logBytes);
    std::cout.flush();

    int failed = 0;
    for (const auto& figure : reporter.figures()) {
        failed += figure.second.error.empty() ? 0 : 1;
    }
    if (gOptions.keep) {
        std::cerr << "zorbench: files kept in " << gWork << "\n";
    } else {
        removeTree(gWork);
    }
    benchmark::Shutdown();
    return failed == 0 ? 0 : 1;
}
