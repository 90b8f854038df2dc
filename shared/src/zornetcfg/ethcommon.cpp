// What the parts of the network library share. See ethinternal.h.
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

namespace ethutils_detail {

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

} // namespace ethutils_detail
