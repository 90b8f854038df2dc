#include "zorinfojson.h"

#include "ethutils.h"
#include "pcitools.h"
#include "zorpath.h"

#include <cstdio>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <net/if.h>
#include <unistd.h>

namespace zorinfojson {

QuietStdout::QuietStdout()
{
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    _saved = null >= 0 ? dup(STDOUT_FILENO) : -1;
    if (_saved >= 0) {
        dup2(null, STDOUT_FILENO);
    }
    if (null >= 0) {
        close(null);
    }
}

QuietStdout::~QuietStdout()
{
    if (_saved >= 0) {
        std::fflush(stdout);
        dup2(_saved, STDOUT_FILENO);
        close(_saved);
    }
}

namespace {

using Json = nlohmann::ordered_json;

template <typename Getter>
std::string text(Getter get)
{
    char buffer[256] = "";
    const char* got = get(buffer, sizeof buffer - 1);
    return got != nullptr ? got : "";
}

char* hex(unsigned value, int width, char* buffer, size_t size)
{
    std::snprintf(buffer, size, "%0*x", width, value);
    return buffer;
}

} // namespace

Json interfaces(const std::vector<std::string>& names, bool ethtool)
{
    QuietStdout quiet;
    Json list = Json::array();
    for (const std::string& n : names) {
        const char* name = n.c_str();
        Json i;
        i["name"] = n;
        i["address"] = text([&](char* b, unsigned l) { return if_getCurrentAddress(name, b, l); });
        i["netmask"] = text([&](char* b, unsigned l) { return if_getCurrentNetmask(name, b, l); });
        i["broadcast"] = text([&](char* b, unsigned l) { return if_getCurrentBroadcast(name, b, l); });
        i["gateway"] = text([&](char* b, unsigned l) { return if_getCurrentGateway(name, b, l); });
        i["driver"] = text([&](char* b, unsigned l) { return if_getDriverName(name, b, l); });
        i["mtu"] = if_getMtu(name);
        i["currentSpeed"] = if_getCurrentSpeed(name);
        i["capableSpeed"] = if_getCapableSpeed(name);
        i["mac"] = text([&](char* b, unsigned l) { return if_getPhysicalMacAddress(name, b, l); });
        unsigned flags = static_cast<unsigned>(if_getFlags(name));
        i["flags"] = text([&](char* b, unsigned l) { return if_flagsToString(flags, b, l); });
        i["link"] = if_linkStatusToString(if_getLinkStatus(name));
        i["class"] = if_deviceClassToString(if_getDeviceClass(name));
        i["type"] = if_deviceTypeToString(if_getDeviceType(name));
        if (ethtool) {
            struct ethtool_drvinfo info {};
            if (if_getEthtoolInfo(name, &info) == 0) {
                i["ethtool"] = {{"driver", info.driver}, {"version", info.version},
                                {"firmware", info.fw_version}, {"bus", info.bus_info}};
            } else {
                i["ethtool"] = nullptr;
            }
        }
        list.push_back(i);
    }
    return list;
}

Json routes(int mask)
{
    QuietStdout quiet;
    Json list = Json::array();
    rt_entry_t* entries = nullptr;
    int count = rt_getRoutes(nullptr, mask, &entries);
    for (int k = 0; k < count; ++k) {
        char flags[64] = "";
        rt_flags_to_string(entries[k].flags, flags, sizeof flags - 1);
        list.push_back({{"device", entries[k].device},
                        {"destination", entries[k].dest},
                        {"gateway", entries[k].gw},
                        {"mask", entries[k].mask},
                        {"flags", flags}});
    }
    delete[] entries;
    return list;
}

Json layout()
{
    QuietStdout quiet;
    Json list = Json::array();
    int cursor = 0;
    char name[IFNAMSIZ];
    for (int r = if_enumFirst(&cursor, name, sizeof name); r == 0; r = if_enumNext(&cursor, name, sizeof name)) {
        PCI_DEVICE_T pd;
        unsigned location = 0;
        if (if_getPciDevice(name, &pd) == 0 && pci_getLayoutLocation(&pd, &location) == 0) {
            list.push_back({{"interface", name}, {"location", location}, {"function", pd.function}});
        }
    }
    return list;
}

Json pci()
{
    QuietStdout quiet;
    Json list = Json::array();
    FILE* file = std::fopen(zorResolvePath("/proc/bus/pci/devices").c_str(), "r");
    if (file == nullptr) {
        return list;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        PCI_DEVICE_T pd;
        if (pci_parseDeviceEntry(&pd, line) != 0) {
            continue;
        }
        char slot[32], vendor[8], device[8];
        std::snprintf(slot, sizeof slot, "%02x:%02x.%x", pd.bus, pd.device, pd.function);
        Json d = {{"slot", slot},
                  {"vendorId", hex(pd.vendor_id, 4, vendor, sizeof vendor)},
                  {"deviceId", hex(pd.device_id, 4, device, sizeof device)},
                  {"irq", pd.irq},
                  {"driver", pd.driver}};
        PCI_DEVICE_IDS ids;
        bool named = pci_getPciDeviceIds(&pd, &ids) == 0;
        d["vendor"] = named ? Json(ids.vendor_name) : Json(nullptr);
        d["device"] = named ? Json(ids.device_name) : Json(nullptr);
        list.push_back(d);
    }
    std::fclose(file);
    return list;
}

} // namespace zorinfojson
