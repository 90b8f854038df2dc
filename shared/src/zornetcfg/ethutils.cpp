#include "ethutils.h"

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

#define ETH_ASSERT(cond, param) ZOR_ASSERT_ARG(cond, "ethutils", param)

const struct name_type_entry name_type_map[5] = {
    {"lo", 1, 1}, {"eth", 2, 2}, {"bond", 1, 3}, {"ans", 1, 4}, {"wifi", 2, 71},
};

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
const char* const kProcDev = "/proc/net/dev";
const char* const kRouteCommand = "/sbin/route";
const char* const kNoAddress = "0.0.0.0";
const char* const kNoMac = "00:00:00:00:00:00";

// Fills the request's name. A name that does not fit would reach the kernel
// cut short and could name another interface, so it is refused.
bool setName(struct ifreq& ifr, const char* name)
{
    std::memset(&ifr, 0, sizeof ifr);
    size_t n = std::strlen(name);
    if (n == 0 || n >= IFNAMSIZ) {
        return false;
    }
    std::memcpy(ifr.ifr_name, name, n);
    return true;
}

char* copyOut(char* buffer, const char* text, unsigned len)
{
    std::strncpy(buffer, text, len);
    return buffer;
}

bool parseIPv4(const char* text, struct in_addr* addr)
{
    return text != nullptr && inet_pton(AF_INET, text, addr) == 1;
}

void toSockaddr(struct sockaddr* sa, struct in_addr addr)
{
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = 0;
    sin.sin_addr = addr;
    std::memcpy(sa, &sin, sizeof sin);
}

std::string dotted(uint32_t networkOrder)
{
    struct in_addr addr;
    addr.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

char* getAddress(const char* name, char* buffer, unsigned len, unsigned long request)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len != 0, "len");
    struct ifreq ifr;
    if (!setName(ifr, name) || if_ioctl(static_cast<int>(request), &ifr) != 0) {
        return copyOut(buffer, kNoAddress, len);
    }
    struct sockaddr_in sin;
    std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    return copyOut(buffer, dotted(sin.sin_addr.s_addr).c_str(), len);
}

int setAddress(const char* name, const char* text, char* (*getter)(const char*, char*, unsigned),
               unsigned long request)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(text != nullptr, "buffer");
    char current[INET_ADDRSTRLEN + 1] = "";
    getter(name, current, INET_ADDRSTRLEN);
    if (std::strcmp(current, text) == 0) {
        return 0;
    }
    // Unparsable text would otherwise become 255.255.255.255 and be set.
    struct in_addr addr;
    struct ifreq ifr;
    if (!parseIPv4(text, &addr) || !setName(ifr, name)) {
        return -1;
    }
    toSockaddr(&ifr.ifr_addr, addr);
    return if_ioctl(static_cast<int>(request), &ifr);
}

int ethtoolRequest(const char* name, void* data)
{
    struct ifreq ifr;
    if (!setName(ifr, name)) {
        return -1;
    }
    ifr.ifr_data = static_cast<char*>(data);
    return if_ioctl(SIOCETHTOOL, &ifr);
}

bool getSettings(const char* name, struct ethtool_cmd* cmd)
{
    std::memset(cmd, 0, sizeof *cmd);
    cmd->cmd = ETHTOOL_GSET;
    return ethtoolRequest(name, cmd) == 0;
}

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

// Finds an interface's PCI device: from the bus address that ethtool
// reports, else from its hardware map and driver.
int findPciDevice(const char* name, PCI_DEVICE_T* pd)
{
    if (if_getPciDevice(name, pd) == 0) {
        return 0;
    }
    struct ifmap map;
    if (if_getHardwareMap(name, &map) != 0) {
        return -1;
    }
    char driver[64] = "";
    if_getDriverName(name, driver, sizeof driver - 1);
    return pci_findDeviceFromResourcesAndDriver(static_cast<unsigned>(map.mem_start),
                                                static_cast<unsigned>(map.mem_end), map.irq, driver, pd);
}

} // namespace

int if_ioctl(int request, struct ifreq* ifr)
{
    ETH_ASSERT(ifr != nullptr, "ifr");
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return -1;
    }
    int result = ioctl(fd, static_cast<unsigned long>(request), ifr);
    int saved = errno;
    close(fd);
    errno = saved;
    return result;
}

int if_getEthtoolInfo(const char* name, struct ethtool_drvinfo* info)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(info != nullptr, "info");
    std::memset(info, 0, sizeof *info);
    info->cmd = ETHTOOL_GDRVINFO;
    int result = ethtoolRequest(name, info);
    return result == 0 ? 0 : result;
}

int if_getIndex(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ifreq ifr;
    if (!setName(ifr, name) || if_ioctl(SIOCGIFINDEX, &ifr) != 0) {
        return -1;
    }
    return ifr.ifr_ifindex;
}

char* if_getName(int index, char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    ifr.ifr_ifindex = index;
    if (if_ioctl(SIOCGIFNAME, &ifr) != 0) {
        name[0] = '\0';
        return name;
    }
    std::memcpy(name, ifr.ifr_name, IFNAMSIZ);
    name[IFNAMSIZ - 1] = '\0';
    return name;
}

int if_setName(const char* oldName, const char* newName)
{
    ETH_ASSERT(oldName != nullptr, "sLogicalName");
    ETH_ASSERT(newName != nullptr, "sLogicalName");
    struct ifreq ifr;
    size_t n = std::strlen(newName);
    if (if_getIndex(oldName) < 0 || n == 0 || n >= IFNAMSIZ || !setName(ifr, oldName)) {
        return -1;
    }
    std::memcpy(ifr.ifr_newname, newName, n + 1);
    return if_ioctl(SIOCSIFNAME, &ifr);
}

char* if_getPhysicalMacAddress(const char* name, char* buffer, unsigned len)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len != 0, "len");
    struct ifreq ifr;
    if (!setName(ifr, name) || if_ioctl(SIOCGIFHWADDR, &ifr) != 0) {
        return copyOut(buffer, kNoMac, len);
    }
    const unsigned char* m = reinterpret_cast<const unsigned char*>(ifr.ifr_hwaddr.sa_data);
    char text[32];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return copyOut(buffer, text, len);
}

unsigned if_getMtu(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ifreq ifr;
    if (!setName(ifr, name) || if_ioctl(SIOCGIFMTU, &ifr) != 0) {
        return 0;
    }
    return static_cast<unsigned>(ifr.ifr_mtu);
}

int if_setMtu(const char* name, unsigned mtu)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ifreq ifr;
    if (!setName(ifr, name)) {
        return -1;
    }
    ifr.ifr_mtu = static_cast<int>(mtu);
    return if_ioctl(SIOCSIFMTU, &ifr);
}

int if_getHardwareMap(const char* name, struct ifmap* map)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(map != nullptr, "map");
    struct ifreq ifr;
    if (!setName(ifr, name) || if_ioctl(SIOCGIFMAP, &ifr) != 0) {
        return -1;
    }
    *map = ifr.ifr_map;
    return 0;
}

char* if_getCurrentAddress(const char* name, char* buffer, unsigned len)
{
    return getAddress(name, buffer, len, SIOCGIFADDR);
}

char* if_getCurrentNetmask(const char* name, char* buffer, unsigned len)
{
    return getAddress(name, buffer, len, SIOCGIFNETMASK);
}

char* if_getCurrentBroadcast(const char* name, char* buffer, unsigned len)
{
    return getAddress(name, buffer, len, SIOCGIFBRDADDR);
}

int if_setCurrentAddress(const char* name, const char* address)
{
    return setAddress(name, address, if_getCurrentAddress, SIOCSIFADDR);
}

int if_setCurrentNetmask(const char* name, const char* netmask)
{
    return setAddress(name, netmask, if_getCurrentNetmask, SIOCSIFNETMASK);
}

int if_setCurrentBroadcast(const char* name, const char* broadcast)
{
    return setAddress(name, broadcast, if_getCurrentBroadcast, SIOCSIFBRDADDR);
}

int if_getFlags(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ifreq ifr;
    if (!setName(ifr, name) || if_ioctl(SIOCGIFFLAGS, &ifr) != 0) {
        return 0;
    }
    return static_cast<unsigned short>(ifr.ifr_flags);
}

int if_setFlags(const char* name, unsigned flags)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ifreq ifr;
    if (!setName(ifr, name)) {
        return -1;
    }
    ifr.ifr_flags = static_cast<short>(flags);
    return if_ioctl(SIOCSIFFLAGS, &ifr);
}

int if_clearFlags(const char* name, unsigned mask)
{
    return if_setFlags(name, static_cast<unsigned>(if_getFlags(name)) & ~mask);
}

unsigned if_getCapableSpeed(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ethtool_cmd cmd;
    if (!getSettings(name, &cmd)) {
        return 0;
    }
    // Supported-mode bits 0..5 (10 half .. 1000 full) line up with speed
    // flags 2..64, one place higher.
    unsigned speed = (cmd.supported & 0x3f) << 1;
    if (cmd.supported & SUPPORTED_Autoneg) {
        speed |= IF_SPEED_AUTO;
    }
    return speed;
}

unsigned if_getCurrentSpeed(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ethtool_cmd cmd;
    if (!getSettings(name, &cmd)) {
        return 0;
    }
    bool full = cmd.duplex == DUPLEX_FULL;
    switch (ethtool_cmd_speed(&cmd)) {
    case 10:
        return full ? IF_SPEED_10_FULL : IF_SPEED_10_HALF;
    case 100:
        return full ? IF_SPEED_100_FULL : IF_SPEED_100_HALF;
    case 1000:
        return full ? IF_SPEED_1000_FULL : IF_SPEED_1000_HALF;
    default:
        return 0;
    }
}

int if_setCurrentSpeed(const char* name, unsigned speed)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ethtool_cmd cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.cmd = ETHTOOL_SSET;
    cmd.autoneg = AUTONEG_DISABLE;
    cmd.duplex = DUPLEX_HALF;
    switch (speed) {
    case IF_SPEED_AUTO:
        cmd.autoneg = AUTONEG_ENABLE;
        break;
    case IF_SPEED_10_HALF:
    case IF_SPEED_10_FULL:
        ethtool_cmd_speed_set(&cmd, SPEED_10);
        break;
    case IF_SPEED_100_HALF:
    case IF_SPEED_100_FULL:
        ethtool_cmd_speed_set(&cmd, SPEED_100);
        break;
    case IF_SPEED_1000_HALF:
    case IF_SPEED_1000_FULL:
        ethtool_cmd_speed_set(&cmd, SPEED_1000);
        break;
    default:
        break;
    }
    if (speed == IF_SPEED_10_FULL || speed == IF_SPEED_100_FULL || speed == IF_SPEED_1000_FULL) {
        cmd.duplex = DUPLEX_FULL;
    }
    return ethtoolRequest(name, &cmd);
}

int if_getLinkStatus(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ethtool_value value;
    std::memset(&value, 0, sizeof value);
    value.cmd = ETHTOOL_GLINK;
    if (ethtoolRequest(name, &value) != 0) {
        return IF_LINK_UNKNOWN;
    }
    return value.data ? IF_LINK_UP : IF_LINK_DOWN;
}

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

int if_getDeviceStatistics(const char* name, NIF_STATS* stats)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(stats != nullptr, "stats");
    std::memset(stats, 0, sizeof *stats);
    FILE* file = std::fopen(zorResolvePath(kProcDev).c_str(), "r");
    if (file == nullptr) {
        return -1;
    }
    // Lines are read whole: sixteen large counters do not fit a short buffer.
    char* line = nullptr;
    size_t room = 0;
    int result = -1;
    while (getline(&line, &room, file) >= 0) {
        char* colon = std::strchr(line, ':');
        if (colon == nullptr) {
            continue;
        }
        *colon = '\0';
        if (std::strstr(line, name) == nullptr) {
            continue;
        }
        unsigned long long v[16] = {};
        std::sscanf(colon + 1, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu",
                    &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12],
                    &v[13], &v[14], &v[15]);
        uint64_t* fields[16] = {&stats->rx,    &stats->rpackets, &stats->rerrs,  &stats->rdrop,
                                &stats->rfifo, &stats->rframe,   &stats->rcomp,  &stats->rmc,
                                &stats->tx,    &stats->tpackets, &stats->terrs,  &stats->tdrop,
                                &stats->tfifo, &stats->tcolls,   &stats->tcarrier, &stats->tcomp};
        for (int i = 0; i < 16; ++i) {
            *fields[i] = v[i];
        }
        result = 0;
        break;
    }
    std::free(line);
    std::fclose(file);
    return result;
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

int if_enumFirst(int* cursor, char* name, unsigned len)
{
    ETH_ASSERT(cursor != nullptr, "cursor");
    *cursor = 0;
    return if_enumNext(cursor, name, len);
}

int if_enumNext(int* cursor, char* name, unsigned len)
{
    ETH_ASSERT(cursor != nullptr, "cursor");
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(len != 0, "len");
    for (int index = *cursor < 0 ? 0 : *cursor; index <= 254; ++index) {
        char found[IFNAMSIZ];
        if (if_getName(index, found)[0] != '\0') {
            copyOut(name, found, len);
            *cursor = index + 1;
            return 0;
        }
    }
    return -1;
}

char* if_getDriverName(const char* name, char* buffer, unsigned len)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len != 0, "len");
    struct ethtool_drvinfo info;
    if (if_getEthtoolInfo(name, &info) == 0) {
        info.driver[sizeof info.driver - 1] = '\0';
        return copyOut(buffer, info.driver, len);
    }
    return copyOut(buffer, if_getDeviceType(name) == 1 ? "loopback ( kernel )" : "unknown", len);
}

int if_getPciDevice(const char* name, PCI_DEVICE_T* pd)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(pd != nullptr, "pd");
    struct ethtool_drvinfo info;
    if (if_getEthtoolInfo(name, &info) != 0) {
        return -1;
    }
    info.bus_info[sizeof info.bus_info - 1] = '\0';
    info.driver[sizeof info.driver - 1] = '\0';
    unsigned domain, bus, device, function;
    if (std::sscanf(info.bus_info, "%x:%x.%x", &bus, &device, &function) != 3
        && std::sscanf(info.bus_info, "%x:%x:%x.%x", &domain, &bus, &device, &function) != 4) {
        return -1;
    }
    std::memset(pd, 0, sizeof *pd);
    pd->bus = bus;
    pd->device = device;
    pd->function = function;
    std::snprintf(pd->driver, sizeof pd->driver, "%s", info.driver);
    return 0;
}

int if_getLogicalName(const char* systemName, char* buffer, int len)
{
    ETH_ASSERT(systemName != nullptr, "sLogicalName");
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len > 0, "len");
    PCI_DEVICE_T pd;
    if (findPciDevice(systemName, &pd) != 0) {
        return -1;
    }
    char value[PCI_LAYOUT_VALUE_SIZE];
    if (pci_getLayoutName(&pd, value) != 0) {
        return -1;
    }
    copyOut(buffer, value, static_cast<unsigned>(len));
    return 0;
}

int if_getPhysicalName(const char* name, char* buffer, int len)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len > 0, "len");
    int cursor = 0;
    char system[IFNAMSIZ];
    for (int r = if_enumFirst(&cursor, system, sizeof system); r == 0;
         r = if_enumNext(&cursor, system, sizeof system)) {
        if (std::strcmp(system, name) == 0) {
            copyOut(buffer, name, static_cast<unsigned>(len));
            return 0;
        }
        char logical[PCI_LAYOUT_VALUE_SIZE];
        if (if_getLogicalName(system, logical, sizeof logical) == 0 && std::strcmp(logical, name) == 0) {
            copyOut(buffer, system, static_cast<unsigned>(len));
            return 0;
        }
    }
    return -1;
}

int if_getDeviceClass(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    for (const auto& e : name_type_map) {
        if (std::strncmp(name, e.prefix, std::strlen(e.prefix)) == 0) {
            return e.devClass;
        }
    }
    return 0;
}

int if_getDeviceType(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    for (const auto& e : name_type_map) {
        if (std::strncmp(name, e.prefix, std::strlen(e.prefix)) == 0) {
            return e.devType;
        }
    }
    return 0;
}

char* if_speedToString(unsigned speed, char* buffer, unsigned len)
{
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len != 0, "len");
    static const char* const texts[] = {"Auto",       "10Mbs/Half",   "10Mbs/Full",  "100Mbs/Half",
                                        "100Mbs/Full", "1000Mbs/Half", "1000Mbs/Full"};
    if (speed == 0) {
        return copyOut(buffer, "N/A", len);
    }
    std::string text;
    for (unsigned bit = 0; bit < 7; ++bit) {
        if (speed & (1u << bit)) {
            if (!text.empty()) {
                text += ',';
            }
            text += texts[bit];
        }
    }
    return copyOut(buffer, text.c_str(), len);
}

char* if_flagsToString(unsigned flags, char* buffer, unsigned len)
{
    ETH_ASSERT(buffer != nullptr, "buffer");
    ETH_ASSERT(len != 0, "len");
    static const char* const words[] = {" Broadcast", " Debug",        " Loopback", " PointToPoint", " NoTrailers",
                                        " Running",   " NoArp",        " Promisuous", " AllMulticast", " Master",
                                        " Slave",     " Multicast",    " AutoPort", " AutoMedia"};
    std::string text = (flags & 0x1) ? "Up" : "Down";
    for (unsigned i = 0; i < 14; ++i) {
        if (flags & (0x2u << i)) {
            text += words[i];
        }
    }
    return copyOut(buffer, text.c_str(), len);
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

const char* if_deviceClassToString(int devClass)
{
    switch (devClass) {
    case 1:
        return "Virtual";
    case 2:
        return "Physical";
    default:
        return "Unknown";
    }
}

const char* if_deviceTypeToString(int devType)
{
    switch (devType) {
    case 1:
        return "Loopback";
    case 2:
        return "Ethernet";
    case 3:
        return "Bond";
    case 4:
        return "iANS";
    case 5:
        return "VLan";
    case 6:
        return "Fibre Channel";
    case 71:
        return "WiFi ( Radio )";
    default:
        return "Unknown";
    }
}

const char* if_linkStatusToString(int status)
{
    switch (status) {
    case 0:
        return "Down";
    case 1:
        return "Up";
    case 2:
        return "Failed";
    default:
        return "Unknown";
    }
}

void if_printEthtoolInfo(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    struct ethtool_drvinfo info;
    if (if_getEthtoolInfo(name, &info) == 0) {
        info.driver[sizeof info.driver - 1] = '\0';
        info.version[sizeof info.version - 1] = '\0';
        info.fw_version[sizeof info.fw_version - 1] = '\0';
        info.bus_info[sizeof info.bus_info - 1] = '\0';
        std::printf("  + Driver:        %s\n", info.driver);
        std::printf("  + Version:       %s\n", info.version);
        std::printf("  + Firmware:      %s\n", info.fw_version);
        std::printf("  + Bus Info:      %s\n", info.bus_info);
        std::printf("  + n_stats:       %d\n", static_cast<int>(info.n_stats));
        std::printf("  + testinfo_len:  %d\n", static_cast<int>(info.testinfo_len));
        std::printf("  + eedump_len:    %d\n", static_cast<int>(info.eedump_len));
    } else {
        std::printf("  - Data Not Available for this device\n");
    }
    std::printf("\n");
}

void if_print(const char* name)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    const char* indent = "  ";
    char text[256];
    char driver[64] = "";
    if_getDriverName(name, driver, sizeof driver - 1);

    std::printf("%s+ %s\n", indent, name);
    text[sizeof text - 1] = '\0';
    std::printf("%s - Address:      %s\n", indent, if_getCurrentAddress(name, text, sizeof text - 1));
    std::printf("%s - Netmask:      %s\n", indent, if_getCurrentNetmask(name, text, sizeof text - 1));
    std::printf("%s - Broadcast:    %s\n", indent, if_getCurrentBroadcast(name, text, sizeof text - 1));
    std::printf("%s - Gateway:      %s\n", indent, if_getCurrentGateway(name, text, sizeof text - 1));
    std::printf("%s - Driver:       %s\n", indent, driver);
    std::printf("%s - MTU:          %u\n", indent, if_getMtu(name));
    unsigned speed = if_getCurrentSpeed(name);
    std::printf("%s - CurrentSpeed: %s ( %u )\n", indent, if_speedToString(speed, text, sizeof text - 1), speed);
    speed = if_getCapableSpeed(name);
    std::printf("%s - CapableSpeed: %s ( %u )\n", indent, if_speedToString(speed, text, sizeof text - 1), speed);
    std::printf("%s - MAC:          %s\n", indent, if_getPhysicalMacAddress(name, text, sizeof text - 1));
    unsigned flags = static_cast<unsigned>(if_getFlags(name));
    std::printf("%s - Flags:        %s ( %u ) \n", indent, if_flagsToString(flags, text, sizeof text - 1), flags);
    int link = if_getLinkStatus(name);
    std::printf("%s - Link Status:  %s ( %u )\n", indent, if_linkStatusToString(link), static_cast<unsigned>(link));
    int devClass = if_getDeviceClass(name);
    std::printf("%s - Class:        %s ( %u )\n", indent, if_deviceClassToString(devClass),
                static_cast<unsigned>(devClass));
    int devType = if_getDeviceType(name);
    std::printf("%s - Type:         %s ( %u )\n", indent, if_deviceTypeToString(devType),
                static_cast<unsigned>(devType));
    struct ifmap map;
    if (if_getHardwareMap(name, &map) != 0) {
        std::memset(&map, 0, sizeof map);
    }
    std::printf("%s - Mem Map:      %08lx-%08lx\n", indent, map.mem_start, map.mem_end);
    std::printf("%s - Base Address: %04x\n", indent, map.base_addr);
    std::printf("%s - IRQ:          %hhu\n", indent, map.irq);
    std::printf("%s - DMA:          %hhu\n", indent, map.dma);
    std::printf("%s - IO/Port:      %hhu\n", indent, map.port);

    PCI_DEVICE_T pd;
    if (pci_findDeviceFromResourcesAndDriver(static_cast<unsigned>(map.mem_start), static_cast<unsigned>(map.mem_end),
                                             map.irq, driver, &pd)
        == 0) {
        char value[PCI_LAYOUT_VALUE_SIZE];
        if (pci_getLayoutType(&pd, value) != 0) {
            std::snprintf(value, sizeof value, "unknown");
        }
        std::printf("%s - Type:         %s\n", indent, value);
        if (pci_getLayoutName(&pd, value) != 0) {
            std::snprintf(value, sizeof value, "unknown");
        }
        std::printf("%s - Location:     %s\n", indent, value);
        std::printf("%s - Port:         Port%u\n", indent, pd.function);
        PCI_DEVICE_IDS ids;
        if (pci_getPciDeviceIds(&pd, &ids) == 0) {
            std::printf("%s - Vendor:       %s\n", indent, ids.vendor_name);
            std::printf("%s - Model:        %s\n", indent, ids.device_name);
        }
    }
    std::printf("---------------------------\n\n");
}

void if_printLayout(void)
{
    // One name per cell. When two interfaces claim the same location and
    // function, the one with the lower interface index keeps the cell;
    // interfaces placed outside the 8 x 4 grid are not shown.
    std::string grid[4][8];
    int cursor = 0;
    char name[IFNAMSIZ];
    for (int r = if_enumFirst(&cursor, name, sizeof name); r == 0; r = if_enumNext(&cursor, name, sizeof name)) {
        PCI_DEVICE_T pd;
        unsigned location = 0;
        if (findPciDevice(name, &pd) != 0 || pci_getLayoutLocation(&pd, &location) != 0) {
            continue;
        }
        if (location < 8 && pd.function < 4 && grid[pd.function][location].empty()) {
            grid[pd.function][location] = name;
        }
    }
    for (int function = 3; function >= 0; --function) {
        for (int location = 0; location < 8; ++location) {
            std::printf("[%6s]", grid[function][location].c_str());
        }
        std::printf("\n");
    }
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

const char* if_getLibVersion(void)
{
    return LIB_VERSION;
}
