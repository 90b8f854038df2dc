#include "pcitools.h"

#include "drive.h"
#include "regfile.h"
#include "zorassert.h"
#include "zorpath.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#define PCI_ASSERT(cond, param) ZOR_ASSERT_ARG(cond, "pcitools", param)

namespace {

const char* const kDeviceList = "/proc/bus/pci/devices";
const char* const kIdList = "/usr/share/pci.ids";
// Debian ships the ID list here; the appliance's own path is tried first.
const char* const kIdListDebian = "/usr/share/misc/pci.ids";

// The layout file stays open once read. It is reopened when the
// configuration directory changes (another ZOR_ROOT), so one process can
// look at several installations in turn.
std::mutex g_layoutLock;
URegFile g_layout;

// Reads every line of the device list until `match` accepts a parsed entry.
template <typename Match> int findDevice(PCI_DEVICE_T* pd, Match match)
{
    FILE* file = std::fopen(zorResolvePath(kDeviceList).c_str(), "r");
    if (file == nullptr) {
        return -1;
    }
    char line[4096];
    int result = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        PCI_DEVICE_T entry;
        if (pci_parseDeviceEntry(&entry, line) == 0 && match(entry)) {
            *pd = entry;
            result = 0;
            break;
        }
    }
    std::fclose(file);
    return result;
}

void stripLineEnd(char* line)
{
    line[std::strcspn(line, "\r\n")] = '\0';
}

void copyText(char* to, const char* from, size_t size)
{
    std::snprintf(to, size, "%s", from);
}

} // namespace

int pci_parseDeviceEntry(PCI_DEVICE_T* pd, char* line)
{
    PCI_ASSERT(pd != nullptr, "pd");
    PCI_ASSERT(line != nullptr, "line");
    std::memset(pd, 0, sizeof *pd);
    // The kernel writes 64-bit window addresses; they are read whole and cut
    // to the record's 32 bits afterwards.
    unsigned long long v[17] = {};
    char driver[sizeof pd->driver] = "";
    int n = std::sscanf(line,
                        "%llx %llx %llx %llx %llx %llx %llx %llx\t%llx %llx %llx %llx %llx %llx %llx %llx %llx %31s",
                        &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11],
                        &v[12], &v[13], &v[14], &v[15], &v[16], driver);
    if (n < 16) {
        return -1;
    }
    uint32_t devfn = static_cast<uint32_t>(v[0]);
    pd->bus = devfn >> 8;
    pd->device = (devfn & 0xff) >> 3;
    pd->function = devfn & 0x7;
    pd->vendor_id = static_cast<uint16_t>(v[1] >> 16);
    pd->device_id = static_cast<uint16_t>(v[1] & 0xffff);
    pd->irq = static_cast<uint8_t>(v[2]);
    pd->mem_low = static_cast<uint32_t>(v[3]) & ~0xfffu;
    pd->mem_high = pd->mem_low + static_cast<uint32_t>(v[10]);
    copyText(pd->driver, n >= 18 ? driver : "N/A", sizeof pd->driver);
    return 0;
}

int pci_findDeviceFromResourcesAndDriver(unsigned memoryStart, unsigned /*memoryEnd*/, unsigned irq,
                                         const char* driver, PCI_DEVICE_T* pd)
{
    PCI_ASSERT(pd != nullptr, "pd");
    // Driver names in the record are cut to 31 characters, so a longer name
    // is compared on those 31 and still finds its device.
    return findDevice(pd, [&](const PCI_DEVICE_T& e) {
        return e.irq == irq && e.mem_low == memoryStart
            && (driver == nullptr || std::strncmp(e.driver, driver, sizeof e.driver - 1) == 0);
    });
}

int pci_findDeviceFromResources(unsigned memoryStart, unsigned memoryEnd, unsigned irq, PCI_DEVICE_T* pd)
{
    return pci_findDeviceFromResourcesAndDriver(memoryStart, memoryEnd, irq, nullptr, pd);
}

int pci_findDeviceFromVendorDeviceId(unsigned index, unsigned vendor, unsigned device, PCI_DEVICE_T* pd)
{
    PCI_ASSERT(pd != nullptr, "pd");
    unsigned seen = 0;
    return findDevice(pd, [&](const PCI_DEVICE_T& e) {
        return e.vendor_id == vendor && e.device_id == device && seen++ == index;
    });
}

int pci_getVendorInfoBySlot(PCI_DEVICE_T* pd)
{
    PCI_ASSERT(pd != nullptr, "pd");
    PCI_DEVICE_T found;
    if (findDevice(&found, [&](const PCI_DEVICE_T& e) {
            return e.bus == pd->bus && e.device == pd->device && e.function == pd->function;
        }) != 0) {
        return -1;
    }
    pd->vendor_id = found.vendor_id;
    pd->device_id = found.device_id;
    return 0;
}

int pci_getLayoutValueFromKey(char* section, char* key, char* value)
{
    PCI_ASSERT(section != nullptr, "section");
    PCI_ASSERT(key != nullptr, "key");
    PCI_ASSERT(value != nullptr, "value");
    std::lock_guard<std::mutex> guard(g_layoutLock);
    char dir[1024];
    if (hwid_getConfigsLocation(dir, sizeof dir) != 0) {
        dir[0] = '\0';
    }
    char path[1024 + 16];
    std::snprintf(path, sizeof path, "%s%s", dir, "pci.layout");
    if (!g_layout.isOpen() || g_layout.path() != path) {
        if (!g_layout.Open(path)) {
            std::printf(" Could not open: %s\n", path);
            g_layout.Close();
            return -1;
        }
    }
    if (!g_layout.goHead() || !g_layout.GoTo(section)) {
        return -1;
    }
    return g_layout.getValue(key, value, PCI_LAYOUT_VALUE_SIZE) ? 0 : -1;
}

int pci_getLayoutKey(PCI_DEVICE_T* pd, char* key, char* value)
{
    PCI_ASSERT(pd != nullptr, "pd");
    char section[64];
    std::snprintf(section, sizeof section, "%u:%u:%u", pd->bus, pd->device, pd->function);
    if (pci_getLayoutValueFromKey(section, key, value) == 0) {
        return 0;
    }
    {
        // Without a layout file the second section cannot help either; one
        // complaint per lookup is enough.
        std::lock_guard<std::mutex> guard(g_layoutLock);
        if (!g_layout.isOpen()) {
            return -1;
        }
    }
    std::snprintf(section, sizeof section, "%u:%u", pd->bus, pd->device);
    return pci_getLayoutValueFromKey(section, key, value);
}

int pci_getLayoutLocation(PCI_DEVICE_T* pd, unsigned* location)
{
    PCI_ASSERT(location != nullptr, "location");
    char value[PCI_LAYOUT_VALUE_SIZE];
    char key[] = "Location";
    if (pci_getLayoutKey(pd, key, value) != 0 || std::sscanf(value, "%u", location) != 1) {
        return -1;
    }
    return 0;
}

int pci_getLayoutType(PCI_DEVICE_T* pd, char* value)
{
    char key[] = "Type";
    return pci_getLayoutKey(pd, key, value);
}

int pci_getLayoutName(PCI_DEVICE_T* pd, char* value)
{
    char key[] = "Name";
    return pci_getLayoutKey(pd, key, value);
}

int pci_getLayoutDescription(PCI_DEVICE_T* pd, char* value)
{
    char key[] = "Description";
    return pci_getLayoutKey(pd, key, value);
}

int pci_getPciDeviceIds(PCI_DEVICE_T* pd, PCI_DEVICE_IDS* ids)
{
    PCI_ASSERT(pd != nullptr, "pd");
    PCI_ASSERT(ids != nullptr, "ids");
    if (pd->vendor_id == 0 && pci_getVendorInfoBySlot(pd) != 0) {
        return -1;
    }
    FILE* file = std::fopen(zorResolvePath(kIdList).c_str(), "r");
    if (file == nullptr) {
        file = std::fopen(zorResolvePath(kIdListDebian).c_str(), "r");
    }
    if (file == nullptr) {
        return -1;
    }
    copyText(ids->device_name, "Unknown device", sizeof ids->device_name);
    char vendor[8];
    char device[8];
    std::snprintf(vendor, sizeof vendor, "%04x", pd->vendor_id);
    std::snprintf(device, sizeof device, "%04x", pd->device_id);

    int result = -1;
    char line[1024];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == '#') {
            continue;
        }
        stripLineEnd(line);
        if (result != 0) {
            const char* gap = std::strstr(line, "  ");
            if (std::strncmp(line, vendor, 4) == 0 && gap != nullptr) {
                copyText(ids->vendor_name, gap + 2, sizeof ids->vendor_name);
                result = 0;
            }
        } else if (std::strstr(line, device) != nullptr) {
            const char* gap = std::strstr(line, "  ");
            if (gap != nullptr) {
                copyText(ids->device_name, gap + 2, sizeof ids->device_name);
                break;
            }
            std::printf("oops");
        }
    }
    std::fclose(file);
    return result;
}

void pci_print(PCI_DEVICE_T* pd, unsigned mode)
{
    PCI_ASSERT(pd != nullptr, "pd");
    if (mode & PCI_PRINT_DETAILS) {
        std::printf("Device:\n");
        std::printf("  + Bus:       %u\n", pd->bus);
        std::printf("  + Device:    %u\n", pd->device);
        std::printf("  + Function:  %u\n", pd->function);
        std::printf("  + Vendor ID: %04x\n", pd->vendor_id);
        std::printf("  + Device ID: %04x\n", pd->device_id);
        std::printf("  + IRQ:       %u\n", pd->irq);
        std::printf("  + Mem Map:   %08x-%08x\n", pd->mem_low, pd->mem_high);
        std::printf("  + Driver:    %s\n", pd->driver);
    }
    if (mode & PCI_PRINT_IDS) {
        std::printf("%02x:%02x.%1x: %04x %04x\n", pd->bus, pd->device, pd->function, pd->vendor_id, pd->device_id);
    }
    if (mode & PCI_PRINT_NAMES) {
        PCI_DEVICE_IDS ids;
        if (pci_getPciDeviceIds(pd, &ids) == 0) {
            std::printf("%02x:%02x.%1x %s %s\n", pd->bus, pd->device, pd->function, ids.vendor_name,
                        ids.device_name);
        } else {
            std::printf("%02x:%02x.%1x Unknown (%04x:%04x)\n", pd->bus, pd->device, pd->function, pd->vendor_id,
                        pd->device_id);
        }
    }
}

void pci_printall(unsigned mode)
{
    FILE* file = std::fopen(zorResolvePath(kDeviceList).c_str(), "r");
    if (file == nullptr) {
        return;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        PCI_DEVICE_T entry;
        if (pci_parseDeviceEntry(&entry, line) == 0) {
            pci_print(&entry, mode);
        }
    }
    std::fclose(file);
}
