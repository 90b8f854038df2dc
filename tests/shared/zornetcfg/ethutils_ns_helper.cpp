// Runs inside a private network namespace holding lo and the veth pair
// zv0/zv1 (see ethutils_test), so every change here dies with it.
#include "ethutils.h"
#include "ioctlprobe.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const char* const a = "zv0";
const char* const b = "zv1";

void up(const char* name) { ASSERT_EQ(0, if_setFlags(name, static_cast<unsigned>(if_getFlags(name) | IFF_UP))); }

/// "device dest mask gw flags" of each route of name with RTF_GATEWAY.
std::vector<std::string> gatewayRoutes(const char* name)
{
    rt_entry_t* entries = nullptr;
    std::vector<std::string> out;
    for (int i = 0, n = rt_getRoutes(name, RTF_GATEWAY, &entries); i < n; ++i) {
        out.push_back(std::string(entries[i].device) + " " + entries[i].dest + " " + entries[i].mask + " " +
                      entries[i].gw + " " + std::to_string(entries[i].flags));
    }
    delete[] entries;
    return out;
}

} // namespace

TEST(InNamespace, InterfaceSetters)
{
    unsetenv("ZOR_ROOT");
    char text[32] = "";
    EXPECT_EQ(0, if_setMtu(a, 1400));
    EXPECT_EQ(1400u, if_getMtu(a));
    ASSERT_EQ(0, if_getFlags(a) & IFF_UP);
    up(a);
    EXPECT_NE(0, if_getFlags(a) & IFF_UP);
    const bool ethtool = ioctlTranslated(SIOCETHTOOL);
    if (ethtool) {
        EXPECT_EQ(IF_LINK_DOWN, if_getLinkStatus(a)); // its peer is still down
    }
    up(b);
    if (ethtool) {
        EXPECT_EQ(IF_LINK_UP, if_getLinkStatus(a));
    }
    EXPECT_EQ(0, if_clearFlags(b, IFF_UP));
    EXPECT_EQ(0, if_getFlags(b) & IFF_UP);

    EXPECT_EQ(0, if_setCurrentAddress(a, "10.77.0.1"));
    EXPECT_EQ(0, if_setCurrentNetmask(a, "255.255.255.0"));
    EXPECT_EQ(0, if_setCurrentBroadcast(a, "10.77.0.255"));
    EXPECT_STREQ("10.77.0.1", if_getCurrentAddress(a, text, sizeof text));
    EXPECT_STREQ("255.255.255.0", if_getCurrentNetmask(a, text, sizeof text));
    EXPECT_STREQ("10.77.0.255", if_getCurrentBroadcast(a, text, sizeof text));
    EXPECT_EQ(0, if_setCurrentBroadcast(a, "10.77.0.255"));
    EXPECT_EQ(-1, if_setCurrentAddress(a, "10.77.0.300"));
    EXPECT_STREQ("10.77.0.1", if_getCurrentAddress(a, text, sizeof text));

    if (!ioctlTranslated(SIOCSIFNAME)) {
        return;
    }
    int index = if_getIndex(b);
    ASSERT_EQ(0, if_setName(b, "zr1"));
    EXPECT_EQ(index, if_getIndex("zr1"));
    EXPECT_EQ(-1, if_getIndex(b));
    EXPECT_STREQ("zr1", if_getName(index, text));
    EXPECT_NE(0, if_setName("zr1", "a-name-far-too-long-for-linux"));
    ASSERT_EQ(0, if_setName("zr1", b));
}

TEST(InNamespace, RoutesAndDefaultGateway)
{
    unsetenv("ZOR_ROOT");
    // Both ends up, zv0 on 10.77.0.1/24 (whether or not the other test ran).
    ASSERT_EQ(0, if_setCurrentAddress(a, "10.77.0.1"));
    ASSERT_EQ(0, if_setCurrentNetmask(a, "255.255.255.0"));
    up(a);
    up(b);

    const unsigned gw = RTF_UP | RTF_GATEWAY;
    EXPECT_EQ(0, rt_add(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(EEXIST, rt_add(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(EINVAL, rt_add(a, "10.78.0.x", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(std::vector<std::string>{"zv0 10.78.0.0 255.255.255.0 10.77.0.2 " + std::to_string(gw)},
              gatewayRoutes(a));
    EXPECT_EQ(0, rt_delete(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(ESRCH, rt_delete(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_TRUE(gatewayRoutes(a).empty());

    // Setting the gateway replaces the default route; 0.0.0.0 removes it.
    char text[16] = "";
    for (const char* gateway : {"10.77.0.254", "10.77.0.253", "0.0.0.0"}) {
        if_setCurrentGateway(a, gateway);
        EXPECT_STREQ(gateway, if_getCurrentGateway(a, text, sizeof text - 1));
        std::string route = std::string("zv0 0.0.0.0 0.0.0.0 ") + gateway + " " + std::to_string(gw);
        EXPECT_EQ(gateway[0] == '0' ? std::vector<std::string>{} : std::vector<std::string>{route}, gatewayRoutes(a));
    }
}
