// Floors from outside the project: what the same bytes cost with the plainest
// code or another tool, measured in the same run.

#include "benchsamples.h"
#include "benchsuite.h"

#include "monitoring.h"
#include "xmltext.h"

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <cstdlib>
#include <fcntl.h>
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

} // namespace

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

namespace {

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

} // namespace

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

namespace {

std::string configFile(std::size_t sizeIndex) { return gSizes[sizeIndex].root + "/etc/configs/monitor/Monitor.cfg"; }

} // namespace

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

namespace {

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

} // namespace

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

} // namespace zorbench
