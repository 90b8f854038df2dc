// The hardware library stand-in: registry files, model identity, MACs.
#include "drive.h"
#include "regfile.h"
#include "zortest.h"

#include <cctype>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

TEST(RegFile, ReadsSectionsAndKeys)
{
    zortest::TempRoot root;
    root.write("a.reg", "top = level\r\n# comment\n; other comment\n[ one ]\n key =  spaced value \r\n"
                        "dup=first\ndup=second\nnot a key line\n[two]\nkey=2\n[one]\nkey=again\n");
    URegFile file;
    char value[URegFile::MAX_VALUE];
    auto get = [&](const char* key, unsigned size) {
        return std::string(file.getValue(key, value, size) ? value : "(none)");
    };
    EXPECT_FALSE(file.Open(root.at("missing.reg").c_str()));
    ASSERT_TRUE(file.Open(root.at("a.reg").c_str()));
    EXPECT_EQ("(none)", get("top", 0)) << "no section chosen yet";
    ASSERT_TRUE(file.GoTo(""));
    EXPECT_EQ("level", get("top", 0));
    ASSERT_TRUE(file.GoTo("one"));
    EXPECT_EQ((std::vector<std::string>{"spaced value", "first", "spa", "(none)"}),
              (std::vector<std::string>{get("key", 0), get("dup", 0), get("key", 4), get("Key", 0)}));
    // GoTo searches from the cursor on; goHead starts over.
    ASSERT_TRUE(file.GoTo("two") && file.GoTo("one"));
    EXPECT_EQ("again", get("key", 0));
    EXPECT_FALSE(file.GoTo("two"));
    EXPECT_TRUE(file.goHead() && file.GoTo("two"));
}

TEST(Drive, ModelAndConfigurationDirectoryComeFromTheRoot)
{
    zortest::TempRoot root;
    setenv("ZOR_ROOT", root.path().c_str(), 1);
    char dir[1024];
    EXPECT_EQ(nullptr, hwid_getModelInfo(nullptr));
    ASSERT_EQ(0, hwid_getConfigsLocation(dir, sizeof dir));
    EXPECT_EQ(root.path() + "/etc/quorvane/hardware/", dir);

    root.copyData("hw/model.conf", "etc/quorvane/system/model.conf");
    for (const char* name : {static_cast<const char*>(nullptr), "zs2000"}) {
        HWID_MODEL_INFO* info = hwid_getModelInfo(name);
        ASSERT_NE(nullptr, info);
        EXPECT_EQ(name == nullptr ? "4 ZS-4000 Storage Server zs4000" : "2 ZS-2000 zs2000",
                  std::to_string(info->id) + " " + info->pName + " " + info->pConfigName);
        hwid_freeModelInfo(info);
    }
    EXPECT_EQ(nullptr, hwid_getModelInfo("zs9000"));

    root.write("etc/quorvane/system/model.conf", "[Appliance]\nModel=x\nConfigsLocation=/opt/cfg\n[x]\nId=seven\nName=X\n");
    EXPECT_EQ(nullptr, hwid_getModelInfo(nullptr)) << "an id that is no number";
    ASSERT_EQ(0, hwid_getConfigsLocation(dir, sizeof dir));
    EXPECT_EQ(root.path() + "/opt/cfg/", dir);
    EXPECT_EQ(-1, hwid_getConfigsLocation(dir, 8));
    EXPECT_STREQ("", dir);
    unsetenv("ZOR_ROOT");
}

TEST(Drive, MacTextOfTheLivePorts)
{
    char mac[13];
    EXPECT_EQ(-1, eth_getMAC(0, mac, 12)); // no room for twelve digits and the end
    EXPECT_EQ(-1, eth_getMAC(254, mac, sizeof mac));
    if (eth_getMAC(0, mac, sizeof mac) != 0) {
        GTEST_SKIP() << "this machine has no non-loopback interface with an Ethernet address";
    }
    std::string text = mac;
    EXPECT_EQ(12u, text.size());
    EXPECT_EQ(std::string::npos, text.find_first_not_of("0123456789ABCDEF")) << text;
    EXPECT_NE("000000000000", text);
}
