// PCI lookup against a fixture installation: device list, ID list, layout.
#include "pcitools.h"
#include "zortest.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class PciTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.copyData("hw/pci-devices", "proc/bus/pci/devices");
        root.copyData("hw/pci.ids", "usr/share/pci.ids");
        root.copyData("hw/pci.layout", "etc/quorvane/hardware/pci.layout");
        setenv("ZOR_ROOT", root.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("ZOR_ROOT"); }
    zortest::TempRoot root;
};

PCI_DEVICE_T slot(unsigned bus, unsigned device, unsigned function)
{
    PCI_DEVICE_T pd{};
    pd.bus = bus;
    pd.device = device;
    pd.function = function;
    return pd;
}

/// "bus:device.function vendor:device irq N low-high driver", or "-1" when result is not 0.
std::string describe(int result, const PCI_DEVICE_T& pd)
{
    if (result != 0) {
        return "-1";
    }
    char text[128];
    std::snprintf(text, sizeof text, "%u:%u.%u %04x:%04x irq %u %08x-%08x %s", pd.bus, pd.device, pd.function,
                  pd.vendor_id, pd.device_id, pd.irq, pd.mem_low, pd.mem_high, pd.driver);
    return text;
}

} // namespace

TEST(PciParse, DeviceLines)
{
    const std::string fields = "\t0\t0\t0\t0\t0\t0\t"; // the six base addresses after the first
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"0111\t8086100e\tb\tfebe0004" + fields + "20000\t0\t0\t0\t0\t0\t0\te1000\n",
              "1:2.1 8086:100e irq 11 febe0000-fec00000 e1000"},
             {"0000\t80861237\t0\t0" + fields + "0\t0\t0\t0\t0\t0\t0\t\n", "0:0.0 8086:1237 irq 0 00000000-00000000 N/A"},
             // 64-bit window addresses of today's kernels do not overflow the record
             {"0200\t1af41041\t18\t4000000004" + fields + "80000\t0\t0\t0\t0\t0\t0\tvirtio-pci\n",
              "2:0.0 1af4:1041 irq 24 00000000-00080000 virtio-pci"},
             {"0300 abcd1234 5 fd000000 0 0 0 0 0 0 1000 0 0 0 0 0 0 averylongdrivernamethatdoesnotfitinthirtytwo",
              "3:0.0 abcd:1234 irq 5 fd000000-fd001000 averylongdrivernamethatdoesnotf"},
             {"this line is no device", "-1"},
             {"0000 80861237 0 0 0 0 0 0 0 0 0 0 0 0 0", "-1"}}) {
        PCI_DEVICE_T pd;
        std::string line = c.first;
        EXPECT_EQ(c.second, describe(pci_parseDeviceEntry(&pd, &line[0]), pd)) << c.first;
    }
    char line[] = "0000";
    EXPECT_DEATH(pci_parseDeviceEntry(nullptr, line), "pcitools: assertion failed: pd");
}

TEST_F(PciTools, FindsDevicesInTheKernelList)
{
    PCI_DEVICE_T pd;
    EXPECT_EQ("1:2.1 8086:100e irq 11 febe0000-fec00000 e1000",
              describe(pci_findDeviceFromResourcesAndDriver(0xfebe0000, 0, 11, "e1000", &pd), pd));
    EXPECT_EQ(-1, pci_findDeviceFromResourcesAndDriver(0xfebe0000, 0, 11, "tg3", &pd));
    EXPECT_EQ(-1, pci_findDeviceFromResources(0xfebe0000, 0, 12, &pd));
    EXPECT_EQ(0, pci_findDeviceFromResources(0xfc000000, 0, 12, &pd));
    EXPECT_EQ(4u, pd.bus);
    // A driver name longer than the record's field still finds its device.
    EXPECT_EQ(0, pci_findDeviceFromResourcesAndDriver(0xfd000000, 0, 5, "averylongdrivernamethatdoesnotfitinthirtytwo", &pd));
    EXPECT_EQ(0, pci_findDeviceFromVendorDeviceId(2, 0x8086, 0x100e, &pd)); // the third one
    EXPECT_EQ(4u, pd.bus);
    EXPECT_EQ(-1, pci_findDeviceFromVendorDeviceId(3, 0x8086, 0x100e, &pd));
    pd = slot(2, 0, 0);
    EXPECT_EQ(0, pci_getVendorInfoBySlot(&pd));
    EXPECT_EQ(0x1041, pd.device_id);
}

TEST_F(PciTools, ReadsTheLayoutBySlotAndByDevice)
{
    char value[PCI_LAYOUT_VALUE_SIZE];
    unsigned location = 0;
    auto text = [&value](int result) { return result == 0 ? std::string(value) : "-1"; };
    PCI_DEVICE_T first = slot(1, 2, 0);  // only the two-number section exists
    PCI_DEVICE_T second = slot(1, 2, 1); // its own section, partly filled
    PCI_DEVICE_T absent = slot(7, 0, 0);
    EXPECT_TRUE(pci_getLayoutLocation(&first, &location) == 0 && location == 3) << location;
    EXPECT_TRUE(pci_getLayoutLocation(&second, &location) == 0 && location == 4) << location;
    EXPECT_EQ("Slot4-B", text(pci_getLayoutName(&second, value)));
    EXPECT_EQ("Ethernet", text(pci_getLayoutType(&second, value))); // falls back to [1:2]
    EXPECT_EQ("-1", text(pci_getLayoutName(&absent, value)));

    // Another installation root opens its own layout file, and a missing one
    // says so on every lookup.
    zortest::TempRoot empty;
    setenv("ZOR_ROOT", empty.path().c_str(), 1);
    CaptureStdout();
    EXPECT_EQ(-1, pci_getLayoutName(&first, value));
    EXPECT_EQ(-1, pci_getLayoutName(&first, value));
    std::string line = " Could not open: " + empty.path() + "/etc/quorvane/hardware/pci.layout\n";
    EXPECT_EQ(line + line, GetCapturedStdout());
}

TEST_F(PciTools, NamesDevicesFromTheIdList)
{
    PCI_DEVICE_IDS ids;
    PCI_DEVICE_T pd = slot(3, 0, 0); // vendor id 0: taken from the slot first
    ASSERT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
    EXPECT_STREQ("Fixture Vendor Without Devices", ids.vendor_name);
    EXPECT_STREQ("Unknown device", ids.device_name);
    pd = slot(2, 0, 0); // the first line of its device has no name and is skipped
    ASSERT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
    EXPECT_STREQ("Virtio 1.0 network device", ids.device_name);
    pd.vendor_id = 0xbeef;
    EXPECT_EQ(-1, pci_getPciDeviceIds(&pd, &ids));

    CaptureStdout(); // the names report of a device the list does not know
    pci_print(&pd, PCI_PRINT_NAMES);
    EXPECT_EQ("02:00.0 Unknown (beef:1041)\n", GetCapturedStdout());

    zortest::TempRoot debian; // Debian keeps the list under /usr/share/misc
    debian.copyData("hw/pci-devices", "proc/bus/pci/devices");
    debian.copyData("hw/pci.ids", "usr/share/misc/pci.ids");
    setenv("ZOR_ROOT", debian.path().c_str(), 1);
    pd = slot(1, 2, 0);
    EXPECT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
}
