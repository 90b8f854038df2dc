// Port MAC addresses from the live network interfaces.
#include "drive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Port {
    bool onBus;
    unsigned index;
    unsigned char mac[6];
};

bool query(int fd, const char* name, unsigned long request, ifreq& ifr)
{
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    return ioctl(fd, request, &ifr) == 0;
}

} // namespace

extern "C" int eth_getMAC(int port, char* buffer, int len)
{
    if (buffer == nullptr || len < 13 || port < 0) {
        return -1;
    }
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) {
        return -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        if_freenameindex(names);
        return -1;
    }
    std::vector<Port> ports;
    for (struct if_nameindex* n = names; n->if_index != 0 && n->if_name != nullptr; ++n) {
        ifreq ifr;
        if (!query(fd, n->if_name, SIOCGIFFLAGS, ifr) || (ifr.ifr_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        if (!query(fd, n->if_name, SIOCGIFHWADDR, ifr) || ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
            continue;
        }
        Port p;
        std::memcpy(p.mac, ifr.ifr_hwaddr.sa_data, 6);
        if (std::all_of(p.mac, p.mac + 6, [](unsigned char b) { return b == 0; })) {
            continue;
        }
        p.index = n->if_index;
        // Interfaces on a hardware bus report their bus address through
        // ethtool; virtual ones (bridges, veth, ifb) report none.
        ethtool_drvinfo info;
        std::memset(&info, 0, sizeof info);
        info.cmd = ETHTOOL_GDRVINFO;
        std::memset(&ifr, 0, sizeof ifr);
        std::strncpy(ifr.ifr_name, n->if_name, IFNAMSIZ - 1);
        ifr.ifr_data = reinterpret_cast<char*>(&info);
        p.onBus = ioctl(fd, SIOCETHTOOL, &ifr) == 0 && info.bus_info[0] != '\0';
        ports.push_back(p);
    }
    close(fd);
    if_freenameindex(names);

    std::stable_sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) {
        return a.onBus != b.onBus ? a.onBus : a.index < b.index;
    });
    if (static_cast<size_t>(port) >= ports.size()) {
        return -1;
    }
    const unsigned char* m = ports[static_cast<size_t>(port)].mac;
    std::snprintf(buffer, static_cast<size_t>(len), "%02X%02X%02X%02X%02X%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return 0;
}
