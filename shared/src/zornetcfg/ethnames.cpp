// Naming and description: logical names from the hardware layout, device
// classes and types by name, texts for speeds, flags and states, and the
// printed overviews.
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

const struct name_type_entry name_type_map[5] = {
    {"lo", 1, 1}, {"eth", 2, 2}, {"bond", 1, 3}, {"ans", 1, 4}, {"wifi", 2, 71},
};


namespace {

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

const char* if_getLibVersion(void)
{
    return LIB_VERSION;
}
