// Stand-in for the appliance's host monitor library. The appliance samples
// its variables in a monitor thread; here each request reads the live value
// straight from this machine, which is what a client of the real library
// would see at that moment, through the monitor thread's own catalogue of
// built-in readings. The readings are the host's own and therefore bypass
// ZOR_ROOT: they describe the machine, not the module's files.
#include "zorMonitorVariable.h"
#include "zormonitor_host.h"

#include "zorglobals.h"
#include "zorhostport.h"
// The catalogue's types stay inside this library (so do the templates made
// of them here): a module sees only the host library's own calls.
#pragma GCC visibility push(hidden)
#include "variablecatalogue.h"
#pragma GCC visibility pop

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
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

/// The appliance's host library answers for the first built-in variables of
/// the monitor thread's catalogue, read live from this machine. Made once:
/// the readers hold the clock by reference.
const std::vector<zormon::VariableDefinition>& hostVariables()
{
    static const zormon::SystemClock clock;
    static const std::vector<zormon::VariableDefinition> variables = [] {
        std::vector<zormon::VariableDefinition> all = zormon::builtinVariables("", clock);
        all.resize(std::min(all.size(), zormon::kHostLibraryVariables));
        return all;
    }();
    return variables;
}

// Resolves "HOST:PORT" (or "[IPv6]:PORT") to one address.
bool resolveTarget(const std::string& hostAndPort, sockaddr_storage* address, socklen_t* length,
                   std::string* error)
{
    const zor::Expected<zor::HostPort> target = zor::parseHostPort(hostAndPort);
    if (!target) {
        *error = target.error();
        return false;
    }
    const std::string port = std::to_string(target->port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(target->host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = "cannot resolve \"" + target->host + "\": " + gai_strerror(rc);
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

const zormon::VariableDefinition* findVariable(const std::string* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (const zormon::VariableDefinition& v : hostVariables()) {
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
    const zormon::VariableDefinition* v = findVariable(name);
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
    *text = std::to_string(services.variables ? services.variables().size() : hostVariables().size());
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
    for (const zormon::VariableDefinition& v : hostVariables()) {
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
    const zormon::VariableDefinition* v = findVariable(name);
    if (v == nullptr) {
        *out = "unknown variable " + (name != nullptr ? *name : std::string());
        return kUnknownVariable;
    }
    *out = v->name + ": " + v->definition;
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
