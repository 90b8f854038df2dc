#include "variablecatalogue.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace zormon {

namespace {

/// Longest first line taken from a file; the rest is ignored.
constexpr size_t kMaxLine = 4096;

std::string formatFixed(double number, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, number);
    return text;
}

bool meminfoField(const std::string& root, const char* label, unsigned long long* kib)
{
    std::ifstream in(root + "/proc/meminfo");
    std::string name;
    unsigned long long amount = 0;
    std::string rest;
    while (in >> name >> amount) {
        std::getline(in, rest);
        if (name == label) {
            *kib = amount;
            return true;
        }
    }
    return false;
}

/// Received and sent bytes summed over every interface but loopback, whose
/// traffic never leaves the appliance.
bool networkCounters(const std::string& root, unsigned long long* rx, unsigned long long* tx)
{
    std::ifstream in(root + "/proc/net/dev");
    std::string line;
    bool any = false;
    *rx = 0;
    *tx = 0;
    while (std::getline(in, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue; // the two header lines
        }
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        std::istringstream fields(line.substr(colon + 1));
        unsigned long long f[9] = {};
        for (unsigned long long& field : f) {
            fields >> field;
        }
        if (!fields || name == "lo") {
            continue;
        }
        *rx += f[0];
        *tx += f[8];
        any = true;
    }
    return any;
}

/// Rate of one network counter between two readings; each rate variable
/// keeps its own previous reading.
class NetworkRate {
public:
    NetworkRate(std::string root, const MonitorClock& clock, bool received)
        : _root(std::move(root)), _clock(clock), _received(received)
    {
    }
    bool read(std::string* value)
    {
        unsigned long long rx = 0;
        unsigned long long tx = 0;
        if (!networkCounters(_root, &rx, &tx)) {
            *value = "cannot read " + _root + "/proc/net/dev";
            return false;
        }
        const unsigned long long counter = _received ? rx : tx;
        const std::time_t now = _clock.now();
        std::lock_guard<std::mutex> lock(_mutex);
        const bool usable = _have && now > _at && counter >= _counter;
        const double rate = usable ? static_cast<double>(counter - _counter) / static_cast<double>(now - _at) : 0;
        if (!_have || now != _at) {
            _have = true;
            _at = now;
            _counter = counter;
        }
        if (!usable) {
            *value = "no rate yet: a second reading is needed";
            return false;
        }
        *value = formatFixed(rate, 0);
        return true;
    }

private:
    std::string _root;
    const MonitorClock& _clock;
    bool _received;
    std::mutex _mutex;
    bool _have = false;
    std::time_t _at = 0;
    unsigned long long _counter = 0;
};

/// The highest temperature any hardware monitor or thermal zone reports, in
/// degrees Celsius (the kernel gives millidegrees).
bool readTemperature(const std::string& root, std::string* value)
{
    bool found = false;
    long best = 0;
    const auto scan = [&](const std::string& folder, const char* prefix, const char* filePrefix,
                          const char* fileSuffix) {
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) {
            return;
        }
        while (dirent* item = readdir(dir)) {
            const std::string name = item->d_name;
            if (name.rfind(prefix, 0) != 0) {
                continue;
            }
            DIR* device = opendir((folder + "/" + name).c_str());
            if (device == nullptr) {
                continue;
            }
            while (dirent* file = readdir(device)) {
                const std::string fileName = file->d_name;
                const size_t suffixLength = std::strlen(fileSuffix);
                if (fileName.rfind(filePrefix, 0) != 0 || fileName.size() < suffixLength ||
                    fileName.compare(fileName.size() - suffixLength, suffixLength, fileSuffix) != 0) {
                    continue;
                }
                std::string line;
                char* end = nullptr;
                if (readFirstLine(folder + "/" + name + "/" + fileName, &line)) {
                    const long milli = std::strtol(line.c_str(), &end, 10);
                    if (end != line.c_str() && (!found || milli > best)) {
                        best = milli;
                        found = true;
                    }
                }
            }
            closedir(device);
        }
        closedir(dir);
    };
    scan(root + "/sys/class/hwmon", "hwmon", "temp", "_input");
    scan(root + "/sys/class/thermal", "thermal_zone", "temp", "temp");
    if (!found) {
        *value = "no temperature sensor under /sys/class/hwmon or /sys/class/thermal";
        return false;
    }
    *value = formatFixed(static_cast<double>(best) / 1000.0, 1);
    return true;
}

} // namespace

std::time_t SystemClock::now() const { return std::time(nullptr); }

// Read with plain system calls: a file variable is read at every sample,
// and a stream's set-up (buffer, locale) costs more than the reading itself.
bool readFirstLine(const std::string& path, std::string* line)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *line = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    line->clear();
    char buffer[512];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // End of file; an error (a folder) ends the line too. Nothing at
            // all from what is not a regular file means it had nothing to
            // give without waiting.
            struct stat status {};
            if (line->empty() && fstat(fd, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
                *line = path + " has nothing to read without waiting (a FIFO without a writer, or a device "
                               "without data)";
                close(fd);
                return false;
            }
            break;
        }
        const void* end = std::memchr(buffer, '\n', static_cast<size_t>(got));
        line->append(buffer, end != nullptr ? static_cast<const char*>(end) - buffer : got);
        if (end != nullptr || line->size() >= kMaxLine) {
            break;
        }
    }
    close(fd);
    if (line->size() > kMaxLine) {
        line->resize(kMaxLine);
    }
    return true;
}

bool readFreeSpace(const std::string& path, std::string* value)
{
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0) {
        *value = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    *value = std::to_string(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize / (1024 * 1024));
    return true;
}

std::vector<VariableDefinition> builtinVariables(const std::string& systemRoot, const MonitorClock& clock)
{
    const std::string root = systemRoot;
    auto rx = std::make_shared<NetworkRate>(root, clock, true);
    auto tx = std::make_shared<NetworkRate>(root, clock, false);
    // The first kHostLibraryVariables are the ones the host library itself
    // answers for: they stay first, in this order.
    return {
        {"load-average", "number, no unit: run queue length averaged over the last minute",
         [root](std::string* value) {
             std::string line;
             double load = 0;
             if (!readFirstLine(root + "/proc/loadavg", &line) || std::sscanf(line.c_str(), "%lf", &load) != 1) {
                 *value = "cannot read /proc/loadavg";
                 return false;
             }
             *value = formatFixed(load, 2);
             return true;
         }},
        {"memory-available", "number, MiB: memory available to new processes",
         [root](std::string* value) {
             unsigned long long kib = 0;
             if (!meminfoField(root, "MemAvailable:", &kib)) {
                 *value = "cannot read MemAvailable from /proc/meminfo";
                 return false;
             }
             *value = std::to_string(kib / 1024);
             return true;
         }},
        {"uptime", "number, seconds: time since the system started",
         [root](std::string* value) {
             std::string line;
             double up = 0;
             if (!readFirstLine(root + "/proc/uptime", &line) || std::sscanf(line.c_str(), "%lf", &up) != 1) {
                 *value = "cannot read /proc/uptime";
                 return false;
             }
             *value = std::to_string(static_cast<long long>(up));
             return true;
         }},
        {"root-free-space", "number, MiB: space free to users on the root file system",
         [root](std::string* value) { return readFreeSpace(root.empty() ? "/" : root, value); }},
        {"process-count", "number, no unit: processes and threads that exist",
         [root](std::string* value) {
             std::string line;
             double l1, l5, l15;
             int running = 0;
             int total = 0;
             if (!readFirstLine(root + "/proc/loadavg", &line) ||
                 std::sscanf(line.c_str(), "%lf %lf %lf %d/%d", &l1, &l5, &l15, &running, &total) != 5) {
                 *value = "cannot read /proc/loadavg";
                 return false;
             }
             *value = std::to_string(total);
             return true;
         }},
        {"cpu", "number, percent: share of CPU time spent busy since the system started",
         [root](std::string* value) {
             std::string line;
             unsigned long long f[8] = {};
             if (!readFirstLine(root + "/proc/stat", &line) ||
                 std::sscanf(line.c_str(), "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2],
                             &f[3], &f[4], &f[5], &f[6], &f[7]) < 4) {
                 *value = "cannot read /proc/stat";
                 return false;
             }
             unsigned long long total = 0;
             for (unsigned long long part : f) {
                 total += part;
             }
             const unsigned long long idle = f[3] + f[4];
             *value = formatFixed(total == 0 ? 0.0 : 100.0 * static_cast<double>(total - idle) / total, 1);
             return true;
         }},
        {"swap-used", "number, MiB: swap space in use",
         [root](std::string* value) {
             unsigned long long total = 0;
             unsigned long long free = 0;
             if (!meminfoField(root, "SwapTotal:", &total) || !meminfoField(root, "SwapFree:", &free)) {
                 *value = "cannot read SwapTotal and SwapFree from /proc/meminfo";
                 return false;
             }
             *value = std::to_string((total > free ? total - free : 0) / 1024);
             return true;
         }},
        {"network-rx-rate", "number, bytes per second: received over all interfaces but loopback",
         [rx](std::string* value) { return rx->read(value); }},
        {"network-tx-rate", "number, bytes per second: sent over all interfaces but loopback",
         [tx](std::string* value) { return tx->read(value); }},
        {"temperature", "number, degrees Celsius: the highest hardware-monitor or thermal-zone reading",
         [root](std::string* value) { return readTemperature(root, value); }},
    };
}

} // namespace zormon
