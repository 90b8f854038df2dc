// Routes: the kernel's table, adding and removing, the default gateway,
// and the flags as route(8) prints them.
#include "ethinternal.h"

#include "zorassert.h"
#include "zorpath.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ethutils_detail;

const struct route_flag_entry g_route_flags[28] = {
    {0x1, 'U'},        {0x2, 'G'},        {0x4, 'H'},        {0x10000, 'd'},    {0x1000000, 'c'},
    {0x8, 'R'},        {0x10, 'D'},       {0x20, 'M'},       {0x80, 'w'},       {0x40, 'u'},
    {0x100, 'i'},      {0x200, '!'},      {0x400, 'S'},      {0x800, 'x'},      {0x1000, 'f'},
    {0x2000, 't'},     {0x4000, 'p'},     {0x20000, 'a'},    {0x40000, 'c'},    {0x100000, 'L'},
    {0x200000, 'o'},   {0x2000000, 'f'},  {0x4000000, 'p'},  {0x80000000, 'l'}, {0x40000000, 'I'},
    {0x20000000, '*'}, {0x10000000, 'B'}, {0x8000000, 'N'},
};

namespace {

const char* const kProcRoute = "/proc/net/route";
const char* const kRouteCommand = "/sbin/route";

int routeRequest(int request, const char* device, const char* destination, const char* mask, const char* gateway,
                 unsigned flags)
{
    struct rtentry rt;
    std::memset(&rt, 0, sizeof rt);
    struct in_addr dst = {}, msk = {}, gw = {};
    if ((destination != nullptr && !parseIPv4(destination, &dst)) || (mask != nullptr && !parseIPv4(mask, &msk))
        || (gateway != nullptr && !parseIPv4(gateway, &gw))) {
        return EINVAL;
    }
    toSockaddr(&rt.rt_dst, dst);
    toSockaddr(&rt.rt_gateway, gw);
    toSockaddr(&rt.rt_genmask, msk);
    rt.rt_flags = static_cast<unsigned short>(flags);
    rt.rt_metric = 0;
    char dev[IFNAMSIZ] = "";
    if (device != nullptr) {
        size_t n = std::strlen(device);
        if (n >= IFNAMSIZ) {
            return ENODEV;
        }
        std::memcpy(dev, device, n + 1);
        rt.rt_dev = dev;
    }
    return rt_ioctl(request, &rt);
}

// What may go to /sbin/route as an interface name: the characters that
// interface names use in practice, and no leading '-' that route would take
// for an option.
bool plainInterfaceName(const char* name)
{
    size_t n = std::strlen(name);
    if (n == 0 || n >= IFNAMSIZ || name[0] == '-') {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && c != '_' && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

// Runs the route command with an argument vector; no shell is involved, so
// nothing in the arguments is ever interpreted.
void runRoute(const std::vector<std::string>& args)
{
    std::string command = zorResolvePath(kRouteCommand);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("route"));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        return;
    }
    if (pid == 0) {
        execv(command.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

int rt_ioctl(int request, struct rtentry* rt)
{
    ETH_ASSERT(rt != nullptr, "rt");
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return 12;
    }
    int result = ioctl(fd, static_cast<unsigned long>(request), rt) == 0 ? 0 : errno;
    close(fd);
    return result;
}

int rt_add(const char* device, const char* destination, const char* mask, const char* gateway, unsigned flags)
{
    return routeRequest(SIOCADDRT, device, destination, mask, gateway, flags);
}

int rt_delete(const char* device, const char* destination, const char* mask, const char* gateway, unsigned flags)
{
    return routeRequest(SIOCDELRT, device, destination, mask, gateway, flags);
}

char* if_getCurrentGateway(const char* name, char* buffer, unsigned len)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len != 0, "len");
    std::string gateway = kNoAddress;
    FILE* file = std::fopen(zorResolvePath(kProcRoute).c_str(), "r");
    if (file != nullptr) {
        char line[1024];
        char iface[1024];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            unsigned long destination = 0;
            unsigned long gw = 0;
            if (std::sscanf(line, "%1023s %lx %lx", iface, &destination, &gw) == 3
                && std::strstr(line, name) != nullptr && destination == 0) {
                gateway = dotted(static_cast<uint32_t>(gw));
            }
        }
        std::fclose(file);
    }
    return copyOut(buffer, gateway.c_str(), len);
}

int if_setCurrentGateway(const char* name, const char* gateway)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(gateway != nullptr, "buffer");
    struct in_addr addr;
    if (!plainInterfaceName(name) || !parseIPv4(gateway, &addr) || if_getIndex(name) < 0) {
        return 0;
    }
    char current[INET_ADDRSTRLEN + 1] = "";
    if_getCurrentGateway(name, current, INET_ADDRSTRLEN);
    // The old default route goes first, also when there is none ("0.0.0.0"):
    // route then only complains on standard error, which is harmless, and a
    // default route that the table read missed is still taken away.
    runRoute({"del", "default", "gw", current, name});
    if (std::strcmp(gateway, kNoAddress) != 0) {
        runRoute({"add", "default", "gw", gateway, name});
    }
    return 0;
}

int rt_getRoutes(const char* device, int mask, rt_entry_t** entries)
{
    ETH_ASSERT(entries != nullptr, "entries");
    *entries = nullptr;
    FILE* file = std::fopen(zorResolvePath(kProcRoute).c_str(), "r");
    if (file == nullptr) {
        return 0;
    }
    rt_entry_t* table = new rt_entry_t[RT_MAX_ROUTES];
    int count = 0;
    char line[1024];
    bool header = true;
    // Routes beyond RT_MAX_ROUTES are left out; the table is read no further.
    while (count < RT_MAX_ROUTES && std::fgets(line, sizeof line, file) != nullptr) {
        if (header) {
            header = false;
            continue;
        }
        char iface[32];
        unsigned destination, gateway, flags, msk;
        int refcnt, use, metric, mtu, window, irtt;
        if (std::sscanf(line, "%31s %8x %8x %4x %d %d %d %8x %d %d %d\n", iface, &destination, &gateway, &flags,
                        &refcnt, &use, &metric, &msk, &mtu, &window, &irtt)
            != 11) {
            continue;
        }
        if ((flags & static_cast<unsigned>(mask)) == 0 || (device != nullptr && std::strcmp(iface, device) != 0)) {
            continue;
        }
        rt_entry_t& e = table[count++];
        std::memset(&e, 0, sizeof e);
        std::memcpy(e.device, iface, sizeof e.device);
        std::snprintf(e.dest, sizeof e.dest, "%s", dotted(destination).c_str());
        std::snprintf(e.mask, sizeof e.mask, "%s", dotted(msk).c_str());
        std::snprintf(e.gw, sizeof e.gw, "%s", dotted(gateway).c_str());
        e.flags = flags;
    }
    std::fclose(file);
    if (count == 0) {
        delete[] table;
    } else {
        *entries = table;
    }
    return count;
}

char* rt_flags_to_string(unsigned flags, char* buffer, int len)
{
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len > 0, "len");
    int n = 0;
    for (const auto& e : g_route_flags) {
        if (n >= len - 1) {
            break;
        }
        if (flags & e.flag) {
            buffer[n++] = e.letter;
        }
    }
    buffer[n] = '\0';
    return buffer;
}

unsigned rt_string_to_flags(const char* cpFlags)
{
    ETH_ASSERT(cpFlags != nullptr, "cpFlags");
    unsigned flags = 0;
    for (const auto& e : g_route_flags) {
        if (std::strchr(cpFlags, e.letter) != nullptr) {
            flags |= e.flag;
        }
    }
    return flags;
}

void rt_print(int mask)
{
    std::printf("%s\t%15s\t%15s\t%15s\t%s\n", "Device", "Destination", "Gateway", "Mask", "Flags");
    rt_entry_t* entries = nullptr;
    int count = rt_getRoutes(nullptr, mask, &entries);
    for (int i = 0; i < count; ++i) {
        char flags[16];
        rt_flags_to_string(entries[i].flags, flags, sizeof flags);
        std::printf("%s\t%15s\t%15s\t%15s\t%s\n", entries[i].device, entries[i].dest, entries[i].gw, entries[i].mask,
                    flags);
    }
    delete[] entries;
}
