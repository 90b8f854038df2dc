// The link as ethtool reports it: driver, speeds, link state, and the
// PCI device behind an interface.
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

int if_getEthtoolInfo(const char* name, struct ethtool_drvinfo* info)
{
    ETH_ASSERT(name != nullptr, "sLogicalName");
    ETH_ASSERT(info != nullptr, "info");
    std::memset(info, 0, sizeof *info);
    info->cmd = ETHTOOL_GDRVINFO;
    int result = ethtoolRequest(name, info);
    return result == 0 ? 0 : result;
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
