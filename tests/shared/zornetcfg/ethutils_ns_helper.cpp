// Runs inside a private network namespace holding lo and the veth pair
// zv0/zv1 (see ethutils_test), so every change here dies with it.
#include "ethutils.h"
#include "zortest.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string gateway(const char* name)
{
    char text[16] = "";
    return if_getCurrentGateway(name, text, sizeof text - 1);
}

int defaultRoutes(const char* name)
{
    rt_entry_t* entries = nullptr;
    int count = rt_getRoutes(name, RTF_GATEWAY, &entries);
    int defaults = 0;
    for (int i = 0; i < count; ++i) {
        defaults += std::string(entries[i].dest) == "0.0.0.0";
    }
    delete[] entries;
    return defaults;
}

} // namespace

TEST(InNamespace, InterfaceSetters)
{
    unsetenv("ZOR_ROOT");
    const char* a = "zv0";
    const char* b = "zv1";
    char text[32] = "";

    std::vector<std::string> names;
    int cursor = 0;
    for (int r = if_enumFirst(&cursor, text, sizeof text); r == 0; r = if_enumNext(&cursor, text, sizeof text)) {
        names.push_back(text);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"lo", "zv0", "zv1"}), names);

    EXPECT_EQ(0, if_setMtu(a, 1400));
    EXPECT_EQ(1400u, if_getMtu(a));

    int flags = if_getFlags(a);
    ASSERT_EQ(0, flags & IFF_UP);
    EXPECT_EQ(0, if_setFlags(a, static_cast<unsigned>(flags | IFF_UP)));
    EXPECT_NE(0, if_getFlags(a) & IFF_UP);
    EXPECT_EQ(IF_LINK_DOWN, if_getLinkStatus(a)); // its peer is still down
    EXPECT_EQ(0, if_setFlags(b, static_cast<unsigned>(if_getFlags(b) | IFF_UP)));
    EXPECT_EQ(IF_LINK_UP, if_getLinkStatus(a));
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

    int index = if_getIndex(b);
    ASSERT_EQ(0, if_setName(b, "zr1"));
    EXPECT_EQ(index, if_getIndex("zr1"));
    EXPECT_EQ(-1, if_getIndex(b));
    EXPECT_STREQ("zr1", if_getName(index, text));
    EXPECT_NE(0, if_setName("zr1", "a-name-far-too-long-for-linux"));
    ASSERT_EQ(0, if_setName("zr1", b));
    EXPECT_EQ(0, if_setFlags(b, static_cast<unsigned>(if_getFlags(b) | IFF_UP)));
}

TEST(InNamespace, RoutesAndDefaultGateway)
{
    unsetenv("ZOR_ROOT");
    const char* a = "zv0";
    // Both ends up, zv0 on 10.77.0.1/24 (whether or not the other test ran).
    ASSERT_EQ(0, if_setCurrentAddress(a, "10.77.0.1"));
    ASSERT_EQ(0, if_setCurrentNetmask(a, "255.255.255.0"));
    ASSERT_EQ(0, if_setFlags(a, static_cast<unsigned>(if_getFlags(a) | IFF_UP)));
    ASSERT_EQ(0, if_setFlags("zv1", static_cast<unsigned>(if_getFlags("zv1") | IFF_UP)));

    const unsigned gw = RTF_UP | RTF_GATEWAY;
    EXPECT_EQ(0, rt_add(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(EEXIST, rt_add(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(EINVAL, rt_add(a, "10.78.0.x", "255.255.255.0", "10.77.0.2", gw));
    rt_entry_t* entries = nullptr;
    ASSERT_EQ(1, rt_getRoutes(a, RTF_GATEWAY, &entries));
    EXPECT_STREQ("zv0", entries[0].device);
    EXPECT_STREQ("10.78.0.0", entries[0].dest);
    EXPECT_STREQ("255.255.255.0", entries[0].mask);
    EXPECT_STREQ("10.77.0.2", entries[0].gw);
    EXPECT_EQ(gw, entries[0].flags);
    delete[] entries;
    EXPECT_EQ(0, rt_delete(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(ESRCH, rt_delete(a, "10.78.0.0", "255.255.255.0", "10.77.0.2", gw));
    EXPECT_EQ(0, rt_getRoutes(a, RTF_GATEWAY, &entries));
    EXPECT_EQ(nullptr, entries);

    if_setCurrentGateway(a, "10.77.0.254");
    EXPECT_EQ("10.77.0.254", gateway(a));
    if_setCurrentGateway(a, "10.77.0.253");
    EXPECT_EQ("10.77.0.253", gateway(a));
    EXPECT_EQ(1, defaultRoutes(a));

    // Nothing reaches a shell, and malformed input changes nothing.
    zortest::TempRoot tmp;
    std::string marker = tmp.at("marker");
    if_setCurrentGateway(("zv0; touch " + marker).c_str(), "10.77.0.9");
    if_setCurrentGateway(("$(touch " + marker + ")").c_str(), "10.77.0.9");
    if_setCurrentGateway(a, ("10.77.0.9; touch " + marker).c_str());
    if_setCurrentGateway(a, "10.77.0.9`touch x`");
    EXPECT_FALSE(zortest::fileExists(marker));
    EXPECT_EQ("10.77.0.253", gateway(a));

    if_setCurrentGateway(a, "0.0.0.0");
    EXPECT_EQ("0.0.0.0", gateway(a));
    EXPECT_EQ(0, defaultRoutes(a));
}
