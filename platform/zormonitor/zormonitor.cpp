// Stand-in for the appliance's host monitor library. The appliance samples
// its variables in a monitor thread; here each request reads the live value
// straight from this machine, which is what a client of the real library
// would see at that moment. The readings are the host's own and therefore
// bypass ZOR_ROOT: they describe the machine, not the module's files.
#include "zorMonitorVariable.h"
#include "zormonitor_host.h"

#include "zorglobals.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netdb.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

/// Result for a name the monitor thread does not know.
constexpr int kUnknownVariable = -3;
/// Result when the live source of a known variable cannot be read.
constexpr int kReadingUnavailable = -9;

std::atomic<long> gInterval{zormonitor::kDefaultIntervalSeconds};
std::atomic<unsigned long> gConfigurationChanged{0};

std::mutex gUdpMutex;
sockaddr_storage gUdpAddress{};
socklen_t gUdpAddressLength = 0;
bool gUdpTargetSet = false;

std::mutex gServicesMutex;
zormonitor::ThreadServices gServices;

zormonitor::ThreadServices threadServices()
{
    std::lock_guard<std::mutex> lock(gServicesMutex);
    return gServices;
}

/// One reading: fills value and returns true, or says why not in value.
typedef bool (*Reader)(std::string* value);

struct Variable {
    const char* name;
    const char* definition; ///< what getDefinedValues answers
    Reader read;
};

std::string formatNumber(double number, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, number);
    return text;
}

bool readFirstLine(const char* path, std::string* line)
{
    std::ifstream in(path);
    return static_cast<bool>(std::getline(in, *line));
}

bool readLoadAverage(std::string* value)
{
    std::string line;
    double load = 0;
    if (!readFirstLine("/proc/loadavg", &line) || std::sscanf(line.c_str(), "%lf", &load) != 1) {
        *value = "cannot read /proc/loadavg";
        return false;
    }
    *value = formatNumber(load, 2);
    return true;
}

bool readProcessCount(std::string* value)
{
    std::string line;
    double l1, l5, l15;
    int running = 0;
    int total = 0;
    if (!readFirstLine("/proc/loadavg", &line) ||
        std::sscanf(line.c_str(), "%lf %lf %lf %d/%d", &l1, &l5, &l15, &running, &total) != 5) {
        *value = "cannot read /proc/loadavg";
        return false;
    }
    *value = std::to_string(total);
    return true;
}

bool readMemoryAvailable(std::string* value)
{
    std::ifstream in("/proc/meminfo");
    std::string label;
    unsigned long long kib = 0;
    std::string unit;
    while (in >> label >> kib) {
        std::getline(in, unit);
        if (label == "MemAvailable:") {
            *value = std::to_string(kib / 1024);
            return true;
        }
    }
    *value = "cannot read MemAvailable from /proc/meminfo";
    return false;
}

bool readUptime(std::string* value)
{
    std::string line;
    double seconds = 0;
    if (!readFirstLine("/proc/uptime", &line) || std::sscanf(line.c_str(), "%lf", &seconds) != 1) {
        *value = "cannot read /proc/uptime";
        return false;
    }
    *value = std::to_string(static_cast<long long>(seconds));
    return true;
}

bool readRootFreeSpace(std::string* value)
{
    struct statvfs fs;
    if (statvfs("/", &fs) != 0) {
        *value = std::string("cannot examine /: ") + std::strerror(errno);
        return false;
    }
    unsigned long long bytes = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    *value = std::to_string(bytes / (1024 * 1024));
    return true;
}

// Busy share of all CPU time since boot: the one CPU figure that needs no
// second sample, so a request never waits.
bool readCpuBusy(std::string* value)
{
    std::string line;
    unsigned long long f[8] = {};
    if (!readFirstLine("/proc/stat", &line) ||
        std::sscanf(line.c_str(), "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2], &f[3],
                    &f[4], &f[5], &f[6], &f[7]) < 4) {
        *value = "cannot read /proc/stat";
        return false;
    }
    unsigned long long total = 0;
    for (unsigned long long part : f) {
        total += part;
    }
    unsigned long long idle = f[3] + f[4]; // idle and waiting for I/O
    double busy = total == 0 ? 0.0 : 100.0 * static_cast<double>(total - idle) / static_cast<double>(total);
    *value = formatNumber(busy, 1);
    return true;
}

const Variable kVariables[] = {
    {"load-average", "number, no unit: run queue length averaged over the last minute", readLoadAverage},
    {"memory-available", "number, MiB: memory available to new processes", readMemoryAvailable},
    {"uptime", "number, seconds: time since the system started", readUptime},
    {"root-free-space", "number, MiB: space free to users on the root file system", readRootFreeSpace},
    {"process-count", "number, no unit: processes and threads that exist", readProcessCount},
    {"cpu", "number, percent: share of CPU time spent busy since the system started", readCpuBusy},
};

// Splits "HOST:PORT" (or "[IPv6]:PORT") and resolves it to one address.
bool resolveTarget(const std::string& hostAndPort, sockaddr_storage* address, socklen_t* length,
                   std::string* error)
{
    size_t colon = hostAndPort.rfind(':');
    if (colon == std::string::npos) {
        *error = "expected HOST:PORT, got \"" + hostAndPort + "\"";
        return false;
    }
    std::string host = hostAndPort.substr(0, colon);
    std::string port = hostAndPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) {
        *error = "no host in \"" + hostAndPort + "\"";
        return false;
    }
    bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    long number = digits ? std::stol(port) : 0;
    if (number < 1 || number > 65535) {
        *error = "port must be a number from 1 to 65535, got \"" + port + "\"";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = "cannot resolve \"" + host + "\": " + gai_strerror(rc);
        return false;
    }
    // A name with both kinds of address ("localhost") goes to IPv4: that is
    // where a listener started without options usually waits.
    const addrinfo* chosen = found;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            chosen = a;
            break;
        }
    }
    std::memcpy(address, chosen->ai_addr, chosen->ai_addrlen);
    *length = chosen->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

const Variable* findVariable(const std::string* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (const Variable& v : kVariables) {
        if (*name == v.name) {
            return &v;
        }
    }
    return nullptr;
}

} // namespace

long ZORmonitorThread::getMonitorInterval() { return gInterval.load(); }

int ZORmonitorThread::getCurrentValue(std::string* name, std::string* value)
{
    std::string scratch;
    std::string* out = value != nullptr ? value : &scratch;
    int prefetched = 0;
    if (name != nullptr && zormonitor::PrefetchedValue::take(*name, &prefetched, out)) {
        return prefetched;
    }
    const zormonitor::ThreadServices services = threadServices();
    if (services.currentValue && name != nullptr) {
        return services.currentValue(*name, out);
    }
    const Variable* v = findVariable(name);
    if (v == nullptr) {
        *out = "unknown variable " + (name != nullptr ? *name : std::string());
        return kUnknownVariable;
    }
    return v->read(out) ? 0 : kReadingUnavailable;
}

void ZORmonitorThread::getNumberOfVariables(std::string* text)
{
    if (text == nullptr) {
        return;
    }
    const zormonitor::ThreadServices services = threadServices();
    *text = std::to_string(services.variables ? services.variables().size()
                                              : sizeof kVariables / sizeof kVariables[0]);
}

void ZORmonitorThread::getVariableList(std::string* text)
{
    if (text == nullptr) {
        return;
    }
    text->clear();
    const zormonitor::ThreadServices services = threadServices();
    if (services.variables) {
        for (const auto& v : services.variables()) {
            *text += (text->empty() ? "" : ",") + v.first;
        }
        return;
    }
    for (const Variable& v : kVariables) {
        if (!text->empty()) {
            *text += ",";
        }
        *text += v.name;
    }
}

int ZORmonitorThread::getDefinedValues(std::string* name, std::string* text)
{
    std::string scratch;
    std::string* out = text != nullptr ? text : &scratch;
    const zormonitor::ThreadServices services = threadServices();
    if (services.variables && name != nullptr) {
        for (const auto& v : services.variables()) {
            if (v.first == *name) {
                *out = v.first + ": " + v.second;
                return 0;
            }
        }
        *out = "unknown variable " + *name;
        return kUnknownVariable;
    }
    const Variable* v = findVariable(name);
    if (v == nullptr) {
        *out = "unknown variable " + (name != nullptr ? *name : std::string());
        return kUnknownVariable;
    }
    *out = std::string(v->name) + ": " + v->definition;
    return 0;
}

void ZORmonitorThread::setConfigurationChanged()
{
    unsigned long n = ++gConfigurationChanged;
    zor_logstream << "zormonitor: configuration changed, notice " << n << std::endl;
    const zormonitor::ThreadServices services = threadServices();
    if (services.configurationChanged) {
        services.configurationChanged();
    }
}

// Each message is one datagram on a fresh socket: posts are rare, and no
// socket outlives the request that needed it.
int ZORUDPThread::postMessage(const char* text)
{
    if (text == nullptr) {
        return -1;
    }
    sockaddr_storage address;
    socklen_t length;
    {
        std::lock_guard<std::mutex> lock(gUdpMutex);
        if (!gUdpTargetSet) {
            std::string ignored;
            if (!resolveTarget(zormonitor::kDefaultUdpTarget, &gUdpAddress, &gUdpAddressLength, &ignored)) {
                return -1;
            }
            gUdpTargetSet = true;
        }
        address = gUdpAddress;
        length = gUdpAddressLength;
    }
    int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    ssize_t sent = sendto(fd, text, std::strlen(text), 0, reinterpret_cast<const sockaddr*>(&address), length);
    close(fd);
    return sent < 0 ? -1 : 0;
}

namespace zormonitor {

void setMonitorInterval(long seconds) { gInterval.store(seconds); }

bool setUdpTarget(const std::string& hostAndPort, std::string* error)
{
    std::string ignored;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!resolveTarget(hostAndPort, &address, &length, error != nullptr ? error : &ignored)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(gUdpMutex);
    gUdpAddress = address;
    gUdpAddressLength = length;
    gUdpTargetSet = true;
    return true;
}

unsigned long configurationChangedCount() { return gConfigurationChanged.load(); }

namespace {
thread_local PrefetchedValue* tPrefetched = nullptr;
}

PrefetchedValue::PrefetchedValue(std::string name, int result, std::string value)
    : _name(std::move(name)), _result(result), _value(std::move(value)), _outer(tPrefetched)
{
    tPrefetched = this;
}

PrefetchedValue::~PrefetchedValue() { tPrefetched = _outer; }

bool PrefetchedValue::take(const std::string& name, int* result, std::string* value)
{
    PrefetchedValue* p = tPrefetched;
    if (p == nullptr || p->_taken || p->_name != name) {
        return false;
    }
    p->_taken = true;
    *result = p->_result;
    *value = std::move(p->_value);
    return true;
}

void setThreadServices(ThreadServices services)
{
    std::lock_guard<std::mutex> lock(gServicesMutex);
    gServices = std::move(services);
}

} // namespace zormonitor
