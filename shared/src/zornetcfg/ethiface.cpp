// Interfaces: their index and name, hardware address, MTU, addresses,
// flags and counters, and the enumeration of all.
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

namespace {

const char* const kProcDev = "/proc/net/dev";

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
