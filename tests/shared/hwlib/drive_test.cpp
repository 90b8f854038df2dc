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
    EXPECT_FALSE(file.goHead());
    EXPECT_FALSE(file.Open(root.at("missing.reg").c_str()));
    ASSERT_TRUE(file.Open(root.at("a.reg").c_str()));
    EXPECT_FALSE(file.getValue("key", value, 0)); // no section chosen yet
    ASSERT_TRUE(file.GoTo(""));
    ASSERT_TRUE(file.getValue("top", value, 0));
    EXPECT_STREQ("level", value);
    ASSERT_TRUE(file.GoTo("one"));
    ASSERT_TRUE(file.getValue("key", value, 0));
    EXPECT_STREQ("spaced value", value);
    ASSERT_TRUE(file.getValue("dup", value, 0));
    EXPECT_STREQ("first", value);
    ASSERT_TRUE(file.getValue("key", value, 4));
    EXPECT_STREQ("spa", value);
    EXPECT_FALSE(file.getValue("Key", value, 0));

    // GoTo searches from the cursor on; goHead starts over.
    ASSERT_TRUE(file.GoTo("two"));
    ASSERT_TRUE(file.GoTo("one"));
    ASSERT_TRUE(file.getValue("key", value, 0));
    EXPECT_STREQ("again", value);
    EXPECT_FALSE(file.GoTo("two"));
    ASSERT_TRUE(file.goHead());
    EXPECT_TRUE(file.GoTo("two"));
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.GoTo("two"));
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
    HWID_MODEL_INFO* info = hwid_getModelInfo(nullptr);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(4, info->id);
    EXPECT_STREQ("ZS-4000 Storage Server", info->pName);
    EXPECT_STREQ("zs4000", info->pConfigName);
    hwid_freeModelInfo(info);
    info = hwid_getModelInfo("zs2000");
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(2, info->id);
    hwid_freeModelInfo(info);
    EXPECT_EQ(nullptr, hwid_getModelInfo("zs9000"));

    root.write("etc/quorvane/system/model.conf", "[Appliance]\nModel=x\nConfigsLocation=/opt/cfg\n[x]\nId=seven\nName=X\n");
    EXPECT_EQ(nullptr, hwid_getModelInfo(nullptr)); // an id that is no number
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
    ASSERT_EQ(12u, text.size());
    for (char c : text) {
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c)) && !std::islower(static_cast<unsigned char>(c)));
    }
    EXPECT_NE("000000000000", text);
}
