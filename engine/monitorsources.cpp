#include "monitorsources.h"

#include "zorpath.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <set>
#include <sstream>
#include <system_error>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zormon {

namespace {

/// Longest first line taken from a program or file; the rest is ignored.
constexpr size_t kMaxLine = 4096;

std::string formatFixed(double number, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, number);
    return text;
}

/// The first line of a file, at most kMaxLine bytes. Read with plain system
/// calls: a file variable is read at every sample, and a stream's set-up
/// (buffer, locale) cost more than the reading itself. Opened with
/// O_NONBLOCK, so that a FIFO without a writer (whose open would wait for
/// one) or a device without data gives no value instead of holding up the
/// sampling thread; a regular file does not notice.
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

bool freeSpace(const std::string& path, std::string* value)
{
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0) {
        *value = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    *value = std::to_string(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize / (1024 * 1024));
    return true;
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

void closeQuietly(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
}

std::string durationText(int ms) { return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"; }

/// How long one wait of a run lasts at most when it can be cancelled.
constexpr int kCancelCheckMs = 100;

} // namespace

std::time_t SystemClock::now() const { return std::time(nullptr); }

std::vector<std::string> splitConfigLine(const std::string& line)
{
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool runProgramFirstLine(const std::vector<std::string>& argv, int timeoutMs, std::string* line,
                         const std::atomic<bool>* cancel)
{
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    if (argv.empty()) {
        *line = "no program named";
        return false;
    }
    // Everything the child needs is prepared before fork: between fork and
    // execv a threaded process may only make async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *line = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        closeQuietly(out[0]);
        closeQuietly(out[1]);
        *line = std::string("cannot start a process: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        setpgid(0, 0); // its own group, so a timeout kills what it started too
        const int nothing = open("/dev/null", O_RDWR);
        dup2(nothing, 0);
        dup2(out[1], 1);
        dup2(nothing, 2);
        close_range(3, ~0U, 0); // no socket or file of the host leaks into the program
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(child, child); // also from here, so the group exists before any kill
    closeQuietly(out[1]);

    std::string output;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || cancelled()) {
            timedOut = true;
            break;
        }
        pollfd wait{out[0], POLLIN, 0};
        const int ready =
            poll(&wait, 1, static_cast<int>(cancel != nullptr ? std::min<long long>(left, kCancelCheckMs) : left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0 && cancel != nullptr) {
            continue; // the deadline and the cancel flag are looked at above
        }
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[1024];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // end of output: the program closed its standard output
        }
        if (output.size() < kMaxLine) {
            output.append(buffer, static_cast<size_t>(got));
        }
    }
    closeQuietly(out[0]);
    int status = 0;
    if (!timedOut) {
        // Output ended; the program still gets the rest of its time to exit.
        for (;;) {
            const pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child) {
                break;
            }
            if (done < 0 && errno != EINTR) {
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline || cancelled()) {
                timedOut = true;
                break;
            }
            usleep(5000);
        }
    }
    if (timedOut) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        *line = argv[0] + (cancelled() ? std::string(" was stopped before it finished")
                                       : " did not finish within its " + durationText(timeoutMs) +
                                             " timeout and was killed");
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *line = argv[0] + (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                             : std::string(" was ended by a signal"));
        return false;
    }
    *line = output.substr(0, output.find('\n'));
    if (line->size() > kMaxLine) {
        line->resize(kMaxLine);
    }
    return true;
}

ProgramSource::ProgramSource(std::vector<std::string> argv, int timeoutMs)
    : _argv(std::move(argv)), _timeoutMs(timeoutMs)
{
}

ProgramSource::~ProgramSource()
{
    _cancel.store(true);
    if (_worker.joinable()) {
        _worker.join();
    }
}

void ProgramSource::setFinished(std::function<void()> finished)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _onFinished = std::move(finished);
}

unsigned long ProgramSource::request()
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_started > _finished) {
        return _started;
    }
    // The last worker has kept its result; at most it is still calling the
    // finished function, which never waits for this source.
    if (_worker.joinable()) {
        _worker.join();
    }
    const unsigned long ticket = ++_started;
    _cancel.store(false);
    try {
        _worker = std::thread([this, ticket] { run(ticket); });
    } catch (const std::system_error& e) {
        _finished = ticket;
        _available = false;
        _value = "cannot start a thread for " + _argv.at(0) + ": " + e.what();
    }
    return ticket;
}

void ProgramSource::run(unsigned long ticket)
{
    std::string value;
    const bool available = runProgramFirstLine(_argv, _timeoutMs, &value, &_cancel);
    std::function<void()> finished;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _finished = ticket;
        _available = available;
        _value = std::move(value);
        finished = _onFinished;
    }
    _done.notify_all();
    if (finished) {
        finished();
    }
}

bool ProgramSource::result(unsigned long ticket, bool* available, std::string* value) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_finished < ticket) {
        return false;
    }
    *available = _available;
    *value = _value;
    return true;
}

bool ProgramSource::read(std::string* value)
{
    const unsigned long ticket = request();
    std::unique_lock<std::mutex> lock(_mutex);
    // The run ends by its timeout; the margin covers killing and reaping it.
    if (!_done.wait_for(lock, std::chrono::milliseconds(_timeoutMs) + std::chrono::seconds(5),
                        [&] { return _finished >= ticket; })) {
        *value = _argv.at(0) + " is still running";
        return false;
    }
    *value = _value;
    return _available;
}

void ProgramSource::cancel() { _cancel.store(true); }

std::vector<VariableDefinition> builtinVariables(const std::string& systemRoot, const MonitorClock& clock)
{
    const std::string root = systemRoot;
    auto rx = std::make_shared<NetworkRate>(root, clock, true);
    auto tx = std::make_shared<NetworkRate>(root, clock, false);
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
         [root](std::string* value) { return freeSpace(root.empty() ? "/" : root, value); }},
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

void forEachConfigLine(const std::string& text,
                       const std::function<void(int lineNumber, const std::vector<std::string>& words)>& visit)
{
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> words = splitConfigLine(line);
        if (!words.empty()) {
            visit(number, words);
        }
    }
}

std::vector<VariableDefinition> definedVariables(const std::string& confText, int programTimeoutMs,
                                                 std::vector<std::string>* problems)
{
    std::vector<VariableDefinition> found;
    std::set<std::string> names; // of found: thousands of variables load in n log n
    forEachConfigLine(confText, [&](int number, const std::vector<std::string>& words) {
        const auto problem = [&](const std::string& why) {
            problems->push_back("variables.conf line " + std::to_string(number) + ": " + why);
        };
        const std::string& name = words[0];
        const std::string kind = words.size() > 1 ? words[1] : "";
        if (names.count(name) != 0) {
            problem(name + " is already defined");
            return;
        }
        if (words.size() < 3 || words[2].empty() || words[2][0] != '/') {
            problem("expected NAME program|file|free-space /ABSOLUTE-PATH");
            return;
        }
        if (kind == "program") {
            std::vector<std::string> argv(words.begin() + 2, words.end());
            argv[0] = zorResolvePath(argv[0]);
            auto program = std::make_shared<ProgramSource>(argv, programTimeoutMs);
            found.push_back({name, "defined: first line of the output of " + words[2],
                             [program](std::string* value) { return program->read(value); }, program});
        } else if (kind == "file" && words.size() == 3) {
            const std::string path = zorResolvePath(words[2]);
            found.push_back({name, "defined: first line of " + words[2],
                             [path](std::string* value) { return readFirstLine(path, value); }});
        } else if (kind == "free-space" && words.size() == 3) {
            const std::string path = zorResolvePath(words[2]);
            found.push_back({name, "number, MiB: space free to users on the file system of " + words[2],
                             [path](std::string* value) { return freeSpace(path, value); }});
        } else {
            problem("unknown kind \"" + kind + "\" (program, file or free-space)");
            return;
        }
        names.insert(name);
    });
    return found;
}

} // namespace zormon
