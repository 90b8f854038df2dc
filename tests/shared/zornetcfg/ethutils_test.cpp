// Network utilities: text forms, the live loopback interface and route
// table, fixture files, the gateway command, and the setters inside a
// network namespace of their own.
#include "ethutils.h"
#include "ioctlprobe.h"
#include "zortest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class EthUtilsInRoot : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZOR_ROOT", root.path().c_str(), 1); }
    void TearDown() override { unsetenv("ZOR_ROOT"); }
    zortest::TempRoot root;
};

std::string text(char* (*fn)(unsigned, char*, unsigned), unsigned value)
{
    char buffer[256] = "";
    return fn(value, buffer, sizeof buffer - 1);
}

} // namespace

TEST(EthUtils, TextForms)
{
    for (const auto& [got, expected] : std::vector<std::pair<std::string, std::string>>{
             {text(if_speedToString, 0), "N/A"},
             {text(if_speedToString, 127),
              "Auto,10Mbs/Half,10Mbs/Full,100Mbs/Half,100Mbs/Full,1000Mbs/Half,1000Mbs/Full"},
             {text(if_flagsToString, 0x1043), "Up Broadcast Running Multicast"},
             {text(if_flagsToString, 0x4100), "Down Promisuous AutoMedia"},
             {if_deviceClassToString(if_getDeviceClass("eth3")), "Physical"},
             {if_deviceClassToString(if_getDeviceClass("bond0")), "Virtual"},
             {if_deviceClassToString(if_getDeviceClass("veth0")), "Unknown"},
             {if_deviceTypeToString(if_getDeviceType("wifi0")), "WiFi ( Radio )"},
             {if_deviceTypeToString(7), "Unknown"}, {if_linkStatusToString(-1), "Unknown"},
             {if_linkStatusToString(3), "Unknown"}}) {
        EXPECT_EQ(expected, got);
    }
    char flags[16];
    EXPECT_STREQ("UG", rt_flags_to_string(0x3, flags, sizeof flags));
    EXPECT_STREQ("", rt_flags_to_string(0x3, flags, 1));
    EXPECT_STREQ("UGHd", rt_flags_to_string(0xffffffff, flags, 5));
    EXPECT_EQ(0x1040000u, rt_string_to_flags("c"));
    EXPECT_EQ(0x3u, rt_string_to_flags("GU"));
    EXPECT_EQ(0u, rt_string_to_flags("zq"));
    EXPECT_DEATH(if_getMtu(nullptr), "ethutils: assertion failed: sLogicalName");
    EXPECT_DEATH(if_flagsToString(1, flags, 0), "ethutils: assertion failed: len");
}

TEST(EthUtils, LoopbackOnTheLiveKernel)
{
    unsetenv("ZOR_ROOT");
    char buffer[64];
    int index = if_getIndex("lo");
    ASSERT_GT(index, 0);
    EXPECT_STREQ("lo", if_getName(index, buffer));
    EXPECT_GT(if_getMtu("lo"), 0u);
    EXPECT_STREQ("127.0.0.1", if_getCurrentAddress("lo", buffer, sizeof buffer));
    EXPECT_STREQ("255.0.0.0", if_getCurrentNetmask("lo", buffer, sizeof buffer));
    EXPECT_STREQ("00:00:00:00:00:00", if_getPhysicalMacAddress("lo", buffer, sizeof buffer));
    EXPECT_STREQ("loopback ( kernel )", if_getDriverName("lo", buffer, sizeof buffer));
    EXPECT_EQ("Up Loopback Running", text(if_flagsToString, static_cast<unsigned>(if_getFlags("lo"))));
    if (ioctlTranslated(SIOCETHTOOL)) {
        EXPECT_EQ(IF_LINK_UP, if_getLinkStatus("lo"));
    }
    std::memset(buffer, 'x', sizeof buffer); // as strncpy copies: a short buffer gets no terminator
    if_getCurrentAddress("lo", buffer, 4);
    EXPECT_EQ(0, std::memcmp(buffer, "127.x", 5));

    // One datagram over loopback shows in the counters.
    NIF_STATS before, after;
    ASSERT_EQ(0, if_getDeviceStatistics("lo", &before));
    int port = 0;
    int fd = zortest::loopbackSocket(SOCK_DGRAM, &port);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(4, sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    close(fd);
    ASSERT_EQ(0, if_getDeviceStatistics("lo", &after));
    EXPECT_GT(after.tpackets, before.tpackets);
    EXPECT_GT(after.rx, before.rx);

    // Interfaces that do not exist, or names too long to be one.
    const char* none = "zornosuch0";
    EXPECT_EQ(-1, if_getIndex(none));
    EXPECT_EQ(IF_LINK_UNKNOWN, if_getLinkStatus(none));
    EXPECT_EQ(-1, if_getIndex("lo-and-a-name-too-long-for-the-kernel"));
    EXPECT_EQ(-1, if_getDeviceStatistics(none, &after));
    // Equal text: no request, so no failure either; a request would fail.
    EXPECT_EQ(0, if_setCurrentAddress(none, "0.0.0.0"));
    EXPECT_EQ(-1, if_setCurrentAddress(none, "10.1.1.1"));
}

TEST(EthUtils, EnumerationAndRouteTableOfTheLiveSystem)
{
    unsetenv("ZOR_ROOT");
    int cursor = 0, count = 0;
    char name[IFNAMSIZ];
    for (int r = if_enumFirst(&cursor, name, sizeof name); r == 0; r = if_enumNext(&cursor, name, sizeof name)) {
        EXPECT_EQ(cursor - 1, if_getIndex(name)) << name;
        ++count;
    }
    struct if_nameindex* all = if_nameindex();
    int expected = 0;
    for (struct if_nameindex* n = all; n->if_index != 0; ++n) {
        expected += n->if_index <= 254;
    }
    if_freenameindex(all);
    EXPECT_EQ(expected, count);

    std::ifstream table("/proc/net/route");
    int lines = -1; // the header
    for (std::string line; std::getline(table, line);) {
        ++lines;
    }
    rt_entry_t* entries = nullptr;
    int routes = rt_getRoutes(nullptr, -1, &entries);
    EXPECT_EQ(std::min(lines, RT_MAX_ROUTES), routes);
    for (int i = 0; i < routes; ++i) {
        EXPECT_GT(if_getIndex(entries[i].device), 0) << entries[i].device;
        EXPECT_NE(0u, entries[i].flags & RTF_UP);
    }
    delete[] entries;
}

TEST_F(EthUtilsInRoot, RoutesGatewayAndStatisticsFromFiles)
{
    root.copyData("hw/net-route", "proc/net/route");
    root.copyData("hw/net-dev", "proc/net/dev");
    rt_entry_t* entries = nullptr;
    EXPECT_EQ(0, rt_getRoutes("eth9", -1, &entries));
    EXPECT_EQ(nullptr, entries);
    char buffer[16];
    EXPECT_STREQ("10.10.10.253", if_getCurrentGateway("eth1", buffer, sizeof buffer)); // the last line wins
    EXPECT_STREQ("0.0.0.0", if_getCurrentGateway("lo", buffer, sizeof buffer));

    testing::internal::CaptureStdout();
    rt_print(RTF_HOST | RTF_GATEWAY);
    EXPECT_EQ("Device\t    Destination\t        Gateway\t           Mask\tFlags\n"
              "eth0\t        0.0.0.0\t    192.168.2.1\t        0.0.0.0\tUG\n"
              "eth1\t        0.0.0.0\t   10.10.10.254\t        0.0.0.0\tUG\n"
              "eth1\t        0.0.0.0\t   10.10.10.253\t        0.0.0.0\tUG\n"
              "lo\t      127.0.0.0\t        0.0.0.0\t      255.0.0.0\tUH\n",
              testing::internal::GetCapturedStdout());

    NIF_STATS stats; // 64-bit counters read whole
    ASSERT_EQ(0, if_getDeviceStatistics("eth0", &stats));
    EXPECT_EQ(18446744073709551615ull, stats.rx);
    EXPECT_EQ(5000000000ull, stats.rpackets);
    EXPECT_EQ(6u, stats.rmc);
    EXPECT_EQ(7000000000ull, stats.tx);
    EXPECT_EQ(14u, stats.tcomp);

    std::string big = "Iface\tDestination\tGateway\n"; // only the first RT_MAX_ROUTES routes are kept
    for (int i = 0; i < 300; ++i) {
        big += "eth0\t0000000A\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    }
    root.write("proc/net/route", big);
    EXPECT_EQ(RT_MAX_ROUTES, rt_getRoutes(nullptr, -1, &entries));
    delete[] entries;
}

TEST_F(EthUtilsInRoot, GatewaySetterRunsRouteWithoutAShell)
{
    // A stand-in route command in the root records its arguments.
    root.write("proc/net/route", "Iface\tDestination\tGateway\nlo\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    std::string log = root.at("route.log"), marker = root.at("marker");
    root.write("sbin/route", "#!/bin/sh\necho \"$*\" >> '" + log + "'\n");
    ASSERT_EQ(0, chmod(root.at("sbin/route").c_str(), 0755));
    EXPECT_EQ(0, if_setCurrentGateway("lo", "10.0.0.2"));
    EXPECT_EQ(0, if_setCurrentGateway("lo", "0.0.0.0"));
    // Without a default route the delete still comes first (route's
    // complaint about it is harmless).
    root.write("proc/net/route", "Iface\tDestination\tGateway\n");
    EXPECT_EQ(0, if_setCurrentGateway("lo", "10.0.0.4"));
    const std::string calls = "del default gw 10.0.0.1 lo\nadd default gw 10.0.0.2 lo\ndel default gw 10.0.0.1 lo\n"
                              "del default gw 0.0.0.0 lo\nadd default gw 10.0.0.4 lo\n";
    EXPECT_EQ(calls, zortest::readFile(log));

    for (const auto& [device, gateway] : std::vector<std::pair<std::string, std::string>>{
             {"lo; touch marker", "10.0.0.3"}, {"lo;touch${IFS}" + marker, "10.0.0.3"},
             {"lo", "10.0.0.3; touch " + marker}, {"lo", "$(touch marker)"}, {"-v", "10.0.0.3"},
             {"zornosuch0", "10.0.0.3"}}) {
        EXPECT_EQ(0, if_setCurrentGateway(device.c_str(), gateway.c_str())) << device << " " << gateway;
    }
    EXPECT_EQ(calls, zortest::readFile(log)) << "nothing more ran";
    EXPECT_FALSE(zortest::fileExists(marker));
}

TEST(EthUtils, SettersInANetworkNamespace)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "creating a network namespace needs root; the setters are tested only inside one";
    }
    // The namespace and its veth pair vanish with "ip netns del", whatever the checks inside did.
    std::string ns = "zortest" + std::to_string(getpid());
    struct Namespace {
        std::string name;
        ~Namespace() { std::system(("ip netns del " + name + " 2>/dev/null").c_str()); }
    } guard{ns};
    ASSERT_EQ(0, std::system(("ip netns add " + ns).c_str()));
    ASSERT_EQ(0, std::system(("ip -n " + ns + " link add zv0 type veth peer name zv1").c_str()));

    FILE* child = popen(("ip netns exec " + ns + " '" ZOR_NS_HELPER "' 2>&1").c_str(), "r");
    ASSERT_NE(nullptr, child);
    std::string output;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, child)) > 0;) {
        output.append(chunk, n);
    }
    EXPECT_EQ(0, pclose(child)) << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 2 tests")) << output;
}
