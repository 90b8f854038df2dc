#include "benchconfig.h"

#include "monitoring.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <ftw.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorbench {

namespace {

const char* const kVariables[] = {"disk-temperature", "fan-speed", "cpu-load", "memory-available",
                                  "raid-rebuild",     "psu-volts", "port-errors", "root-free-space"};

std::unique_ptr<Frequency> scheduleFor(std::size_t i)
{
    TimeOfDay at;
    at.setHour(static_cast<unsigned>(i % 24));
    at.setMinutes(static_cast<unsigned>((i * 7) % 60));
    switch (i % 4) {
    case 0:
        return std::make_unique<Asynchronous>();
    case 1: {
        auto every = std::make_unique<Seconds>();
        every->setSeconds(static_cast<unsigned>(30 + i % 600));
        return every;
    }
    case 2: {
        auto day = std::make_unique<Daily>();
        day->setEvery(1 + static_cast<int>(i % 3));
        day->setTimeOfDay(at);
        return day;
    }
    default: {
        auto week = std::make_unique<Weekly>();
        week->setEvery(1 + static_cast<int>(i % 2));
        week->setDayOfWeek(static_cast<DayOfWeek>(i % 7));
        week->setTimeOfDay(at);
        return week;
    }
    }
}

Action actionFor(std::size_t i, int t)
{
    Action action;
    action.setMaxFrequency(static_cast<unsigned>((i + static_cast<std::size_t>(t)) % 4 * 900));
    int addresses = static_cast<int>((i + static_cast<std::size_t>(t)) % 3);
    for (int a = 0; a < addresses; ++a) {
        action.addEmail("ops" + std::to_string(a) + "@site" + std::to_string(i % 97) + ".example.net");
    }
    unsigned flags = static_cast<unsigned>(i * 3 + static_cast<std::size_t>(t));
    SetShutdown((flags & 16) != 0 && (flags & 1) != 0, action);
    action.setTrap((flags & 1) != 0);
    action.setUdp((flags & 2) != 0);
    action.setLog((flags & 4) != 0);
    action.setPowerOffDrive((flags & 8) != 0 && (flags & 2) != 0);
    return action;
}

std::unique_ptr<ActionTrigger> triggerFor(std::size_t i, int t, bool logged)
{
    std::unique_ptr<ActionTrigger> trigger;
    switch ((i + static_cast<std::size_t>(t)) % 3) {
    case 0: {
        auto single = std::make_unique<SingleValueTrigger>();
        single->setComparisonType(static_cast<TriggerComparisonType>((i / 3 + static_cast<std::size_t>(t)) % 4));
        single->setValue(std::to_string(40 + (i * 13 + static_cast<std::size_t>(t)) % 60));
        trigger = std::move(single);
        break;
    }
    case 1: {
        auto interval = std::make_unique<IntervalValueTrigger>();
        interval->setLowValue(std::to_string(10 + i % 20));
        interval->setHighValue(std::to_string(50 + i % 40));
        interval->setIntervalType((i + static_cast<std::size_t>(t)) % 2 == 0 ? inside : outside);
        trigger = std::move(interval);
        break;
    }
    default:
        trigger = std::make_unique<ValueChangesTrigger>();
        break;
    }
    // Only a logged entry may look at anything but the instantaneous value.
    trigger->setValueType(logged ? static_cast<TriggerValueType>((i + static_cast<std::size_t>(t) * 2) % 4)
                                 : instantaneous);
    trigger->setPermanent((i + static_cast<std::size_t>(t)) % 5 == 0);
    trigger->setAction(actionFor(i, t));
    return trigger;
}

MonitorEntry entryFor(std::size_t i)
{
    bool logged = i % 4 != 3;
    std::string name = std::string(kVariables[i % (sizeof kVariables / sizeof kVariables[0])]) + "-" +
                       std::to_string(i);
    std::unique_ptr<Frequency> schedule = scheduleFor(i);
    MonitorEntry entry(logged, name, schedule.get());
    for (int t = 0; t < 3; ++t) {
        std::unique_ptr<ActionTrigger> trigger = triggerFor(i, t, logged);
        entry.addActionTrigger(trigger.get());
    }
    return entry;
}

// The catalogue the module loads beside Monitor.cfg at session start; a few
// presets, as on an appliance.
const char* const kPresets = R"(<?xml version="1.0" encoding="UTF-8"?>
<presets>
  <preset-variable name="cpu-load" unit="%">
    <action-trigger value-type="average" permanent="false">
      <single-value comparison="greater-than" value="90"/>
    </action-trigger>
  </preset-variable>
  <preset-variable name="disk-temperature" unit="C">
    <action-trigger value-type="maximum" permanent="true">
      <interval-value low-value="5" high-value="55" inside-outside-range="outside"/>
    </action-trigger>
  </preset-variable>
  <preset-variable name="fan-speed" unit="rpm">
    <action-trigger value-type="instantaneous" permanent="false">
      <value-changes/>
    </action-trigger>
  </preset-variable>
</presets>
)";

int removeOne(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

} // namespace

bool makeFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

void removeTree(const std::string& path) { ::nftw(path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS); }

std::size_t writeConfiguration(const std::string& root, std::size_t entries, std::string* error)
{
    const std::string folder = root + "/etc/configs/monitor";
    if (!makeFolders(folder)) {
        *error = "cannot create " + folder;
        return 0;
    }
    std::vector<MonitorEntry> table;
    table.reserve(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        table.push_back(entryFor(i));
    }
    const std::string file = folder + "/Monitor.cfg";
    try {
        MonitoringConfiguration::save(table, file);
    } catch (const MonitoringException& e) {
        *error = "cannot write " + file + ": " + e.getMessage();
        return 0;
    }
    std::ofstream presets(folder + "/PresetTriggers.cfg", std::ios::binary | std::ios::trunc);
    presets << kPresets;
    presets.close();
    struct stat status {};
    if (!presets || ::stat(file.c_str(), &status) != 0) {
        *error = "cannot write the files in " + folder;
        return 0;
    }
    return static_cast<std::size_t>(status.st_size);
}

bool writeLogFile(const std::string& root, const std::string& name, std::size_t bytes, std::string* error)
{
    const std::string folder = root + "/var/log/monitor";
    if (!makeFolders(folder)) {
        *error = "cannot create " + folder;
        return false;
    }
    const std::string file = folder + "/" + name + ".log";
    // One megabyte of distinct lines, written as often as needed: the content
    // matters to nobody, the size and the page cache do.
    std::string chunk;
    char text[160];
    for (unsigned long line = 0; chunk.size() < 1024 * 1024; ++line) {
        int n = std::snprintf(text, sizeof text,
                              "2006-12-01 %02lu:%02lu:%02lu disk-temperature-%lu value=%lu.%lu average=%lu state=%s\n",
                              line / 3600 % 24, line / 60 % 60, line % 60, line % 48, 20 + line % 37, line % 10,
                              30 + line % 11, line % 9 == 0 ? "alarm" : "ok");
        chunk.append(text, static_cast<std::size_t>(n));
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (std::size_t written = 0; written < bytes;) {
        std::size_t take = std::min(chunk.size(), bytes - written);
        out.write(chunk.data(), static_cast<std::streamsize>(take));
        written += take;
    }
    out.close();
    if (!out) {
        *error = "cannot write " + file;
        return false;
    }
    return true;
}

} // namespace zorbench
