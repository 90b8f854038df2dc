// PCI lookup against a fixture installation: device list, ID list, layout.
#include "pcitools.h"
#include "zortest.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

struct PciRoot {
    zortest::TempRoot root;
    PciRoot()
    {
        root.copyData("hw/pci-devices", "proc/bus/pci/devices");
        root.copyData("hw/pci.ids", "usr/share/pci.ids");
        root.copyData("hw/pci.layout", "etc/quorvane/hardware/pci.layout");
        setenv("ZOR_ROOT", root.path().c_str(), 1);
    }
    ~PciRoot() { unsetenv("ZOR_ROOT"); }
};

PCI_DEVICE_T slot(unsigned bus, unsigned device, unsigned function)
{
    PCI_DEVICE_T pd;
    std::memset(&pd, 0, sizeof pd);
    pd.bus = bus;
    pd.device = device;
    pd.function = function;
    return pd;
}

} // namespace

TEST(PciTools, ParsesDeviceLines)
{
    PCI_DEVICE_T pd;
    char line[] = "0111\t8086100e\tb\tfebe0004\t0\t0\t0\t0\t0\t0\t20000\t0\t0\t0\t0\t0\t0\te1000\n";
    ASSERT_EQ(0, pci_parseDeviceEntry(&pd, line));
    EXPECT_EQ(1u, pd.bus);
    EXPECT_EQ(2u, pd.device);
    EXPECT_EQ(1u, pd.function);
    EXPECT_EQ(0x8086, pd.vendor_id);
    EXPECT_EQ(0x100e, pd.device_id);
    EXPECT_EQ(11, pd.irq);
    EXPECT_EQ(0xfebe0000u, pd.mem_low);
    EXPECT_EQ(0xfec00000u, pd.mem_high);
    EXPECT_STREQ("e1000", pd.driver);

    char noDriver[] = "0000\t80861237\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t\n";
    ASSERT_EQ(0, pci_parseDeviceEntry(&pd, noDriver));
    EXPECT_STREQ("N/A", pd.driver);

    // 64-bit window addresses of today's kernels do not overflow the record.
    char wide[] = "0200\t1af41041\t18\t4000000004\t0\t0\t0\t0\t0\t0\t80000\t0\t0\t0\t0\t0\t0\tvirtio-pci\n";
    ASSERT_EQ(0, pci_parseDeviceEntry(&pd, wide));
    EXPECT_EQ(0u, pd.mem_low);
    EXPECT_EQ(0x80000u, pd.mem_high);

    char longDriver[] = "0300 abcd1234 5 fd000000 0 0 0 0 0 0 1000 0 0 0 0 0 0 averylongdrivernamethatdoesnotfitinthirtytwo";
    ASSERT_EQ(0, pci_parseDeviceEntry(&pd, longDriver));
    EXPECT_STREQ("averylongdrivernamethatdoesnotf", pd.driver);

    char bad[] = "this line is no device";
    char shortLine[] = "0000 80861237 0 0 0 0 0 0 0 0 0 0 0 0 0";
    EXPECT_EQ(-1, pci_parseDeviceEntry(&pd, bad));
    EXPECT_EQ(-1, pci_parseDeviceEntry(&pd, shortLine));
    EXPECT_DEATH(pci_parseDeviceEntry(nullptr, bad), "pcitools: assertion failed: pd");
}

TEST(PciTools, FindsDevicesInTheKernelList)
{
    PciRoot fixture;
    PCI_DEVICE_T pd;
    ASSERT_EQ(0, pci_findDeviceFromResourcesAndDriver(0xfebe0000, 0, 11, "e1000", &pd));
    EXPECT_EQ(1u, pd.function);
    EXPECT_EQ(-1, pci_findDeviceFromResourcesAndDriver(0xfebe0000, 0, 11, "tg3", &pd));
    EXPECT_EQ(-1, pci_findDeviceFromResources(0xfebe0000, 0, 12, &pd));
    ASSERT_EQ(0, pci_findDeviceFromResources(0xfc000000, 0, 12, &pd));
    EXPECT_EQ(4u, pd.bus);
    // A driver name longer than the record's field still finds its device.
    EXPECT_EQ(0, pci_findDeviceFromResourcesAndDriver(0xfd000000, 0, 5,
                                                      "averylongdrivernamethatdoesnotfitinthirtytwo", &pd));

    ASSERT_EQ(0, pci_findDeviceFromVendorDeviceId(2, 0x8086, 0x100e, &pd));
    EXPECT_EQ(4u, pd.bus);
    EXPECT_EQ(-1, pci_findDeviceFromVendorDeviceId(3, 0x8086, 0x100e, &pd));

    pd = slot(2, 0, 0);
    ASSERT_EQ(0, pci_getVendorInfoBySlot(&pd));
    EXPECT_EQ(0x1af4, pd.vendor_id);
    EXPECT_EQ(0x1041, pd.device_id);
    pd = slot(9, 0, 0);
    EXPECT_EQ(-1, pci_getVendorInfoBySlot(&pd));

    unsetenv("ZOR_ROOT");
    setenv("ZOR_ROOT", "/nonexistent-root", 1);
    EXPECT_EQ(-1, pci_findDeviceFromResources(0xfc000000, 0, 12, &pd));
}

TEST(PciTools, ReadsTheLayoutBySlotAndByDevice)
{
    PciRoot fixture;
    char value[PCI_LAYOUT_VALUE_SIZE];
    unsigned location = 0;

    PCI_DEVICE_T first = slot(1, 2, 0);  // only the two-number section exists
    PCI_DEVICE_T second = slot(1, 2, 1); // its own section, partly filled
    ASSERT_EQ(0, pci_getLayoutLocation(&first, &location));
    EXPECT_EQ(3u, location);
    ASSERT_EQ(0, pci_getLayoutLocation(&second, &location));
    EXPECT_EQ(4u, location);
    ASSERT_EQ(0, pci_getLayoutName(&second, value));
    EXPECT_STREQ("Slot4-B", value);
    ASSERT_EQ(0, pci_getLayoutType(&second, value)); // falls back to [1:2]
    EXPECT_STREQ("Ethernet", value);
    ASSERT_EQ(0, pci_getLayoutDescription(&first, value));
    EXPECT_STREQ("Dual port gigabit board", value);
    PCI_DEVICE_T absent = slot(7, 0, 0);
    EXPECT_EQ(-1, pci_getLayoutName(&absent, value));
    char section[] = "1:2", key[] = "Colour";
    EXPECT_EQ(-1, pci_getLayoutValueFromKey(section, key, value));

    // Another installation root opens its own layout file, and a missing one
    // says so on every lookup.
    zortest::TempRoot empty;
    setenv("ZOR_ROOT", empty.path().c_str(), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, pci_getLayoutName(&first, value));
    EXPECT_EQ(-1, pci_getLayoutName(&first, value));
    std::string line = " Could not open: " + empty.path() + "/etc/quorvane/hardware/pci.layout\n";
    EXPECT_EQ(line + line, testing::internal::GetCapturedStdout());
}

TEST(PciTools, NamesDevicesFromTheIdList)
{
    PciRoot fixture;
    PCI_DEVICE_IDS ids;
    PCI_DEVICE_T pd = slot(1, 2, 0); // vendor id 0: taken from the slot first
    ASSERT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
    EXPECT_STREQ("Intel Corporation", ids.vendor_name);
    EXPECT_STREQ("82540EM Gigabit Ethernet Controller", ids.device_name);

    pd = slot(3, 0, 0);
    ASSERT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
    EXPECT_STREQ("Fixture Vendor Without Devices", ids.vendor_name);
    EXPECT_STREQ("Unknown device", ids.device_name);

    pd = slot(2, 0, 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
    EXPECT_EQ("oops", testing::internal::GetCapturedStdout());
    EXPECT_STREQ("Virtio 1.0 network device", ids.device_name);

    pd = slot(9, 0, 0);
    EXPECT_EQ(-1, pci_getPciDeviceIds(&pd, &ids));
    pd.vendor_id = 0xbeef;
    EXPECT_EQ(-1, pci_getPciDeviceIds(&pd, &ids));

    testing::internal::CaptureStdout();
    pd = slot(1, 2, 1);
    pci_getVendorInfoBySlot(&pd);
    pd.irq = 11;
    pd.mem_low = 0xfebe0000;
    pd.mem_high = 0xfec00000;
    std::strcpy(pd.driver, "e1000");
    pci_print(&pd, PCI_PRINT_DETAILS | PCI_PRINT_NAMES | PCI_PRINT_IDS);
    pd.vendor_id = 0xbeef;
    pci_print(&pd, PCI_PRINT_NAMES);
    EXPECT_EQ("Device:\n  + Bus:       1\n  + Device:    2\n  + Function:  1\n  + Vendor ID: 8086\n"
              "  + Device ID: 100e\n  + IRQ:       11\n  + Mem Map:   febe0000-fec00000\n  + Driver:    e1000\n"
              "01:02.1: 8086 100e\n01:02.1 Intel Corporation 82540EM Gigabit Ethernet Controller\n"
              "01:02.1 Unknown (beef:100e)\n",
              testing::internal::GetCapturedStdout());

    // Debian keeps the list under /usr/share/misc.
    zortest::TempRoot debian;
    debian.copyData("hw/pci-devices", "proc/bus/pci/devices");
    debian.copyData("hw/pci.ids", "usr/share/misc/pci.ids");
    setenv("ZOR_ROOT", debian.path().c_str(), 1);
    pd = slot(1, 2, 0);
    EXPECT_EQ(0, pci_getPciDeviceIds(&pd, &ids));
}
