// Fibre Channel port status and appliance identity.
#include "drive.h"
#include "zorfcstatus.h"
#include "zorobxinfo.h"
#include "zortest.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct InRoot {
    char previous[PATH_MAX];
    explicit InRoot(const zortest::TempRoot& root)
    {
        EXPECT_NE(nullptr, getcwd(previous, sizeof previous));
        setenv("ZOR_ROOT", root.path().c_str(), 1);
        EXPECT_EQ(0, chdir(root.path().c_str()));
    }
    ~InRoot()
    {
        unsetenv("ZOR_ROOT");
        EXPECT_EQ(0, chdir(previous));
    }
};

const char* const kFcFile = "etc/quorvane/fc/QLogicPortStatus";
const char* const kSerialFile = "configs/etc/quorvane/system/.serialnumber";

} // namespace

TEST(FCStatus, ReadsModelAndPorts)
{
    zortest::TempRoot root;
    InRoot in(root);
    ZorFCStatus status;
    status.readFCStatus(); // no file yet
    EXPECT_EQ("", status.getCardModel());
    EXPECT_EQ(0, status.getDeviceCount());

    root.copyData("hw/fc-status", kFcFile); // CR LF line ends, one blank line
    status.readFCStatus();
    EXPECT_EQ("QLA2342", status.getCardModel());
    ASSERT_EQ(2, status.getDeviceCount());
    ZorFCDevice first = status.getDevice(0);
    EXPECT_EQ("hba0", first.getDevice());
    EXPECT_EQ("0", first.getChannel());
    EXPECT_EQ("24", first.getIRQ());
    EXPECT_EQ("20:00:00:e0:8b:01:02:03", first.getNodeWWN());
    EXPECT_EQ("21:00:00:e0:8b:01:02:03", first.getPortWWN());
    EXPECT_EQ("Online", first.getStatus());
    EXPECT_EQ("hba1", status.getDevice(1).getDevice());
    EXPECT_EQ("Link Down", status.getDevice(1).getStatus());
    EXPECT_EQ("", status.getDevice(2).getDevice());
    EXPECT_EQ("", status.getDevice(-1).getStatus());

    // A model line alone renames the card and keeps the ports.
    root.write(kFcFile, "Some Other Card\n\n");
    status.readFCStatus();
    EXPECT_EQ("unknown", status.getCardModel());
    EXPECT_EQ(2, status.getDeviceCount());
    EXPECT_EQ("QLA2300", status.parseModel("QLA2300 Adapter Ports Adapter Ports\r"));

    // Malformed port lines spoil only their own fields.
    ZorFCDevice d;
    d.parseStatusLine("garbage");
    EXPECT_EQ("", d.getDevice());
    EXPECT_EQ("", d.getStatus());
    d.parseStatusLine("Port hba2, Channel 3");
    EXPECT_EQ("hba2", d.getDevice());
    EXPECT_EQ("3", d.getChannel());
    EXPECT_EQ("", d.getIRQ());
    d.parseStatusLine("Port hba3, Channel 1, IRQ 9, Node 20:00, Port WWN 21:00, Status Online, degraded\r");
    EXPECT_EQ("", d.getNodeWWN());
    EXPECT_EQ("21:00", d.getPortWWN());
    EXPECT_EQ("Online, degraded", d.getStatus());
    ZorFCDevice copy(d);
    EXPECT_EQ("hba3", copy.getDevice());
}

TEST(ObxInfo, IdentityFromModelFileSerialFileOrMac)
{
    zortest::TempRoot root;
    InRoot in(root);
    char mac[64];
    std::string expected = eth_getMAC(0, mac, sizeof mac) == 0 ? mac : "Unknown";
    EXPECT_FALSE(ZorObxInfo::loadData());
    EXPECT_STREQ("UNKNOWN", ZorObxInfo::getModelName());
    EXPECT_EQ(-1, ZorObxInfo::getModelId());
    EXPECT_EQ(expected, ZorObxInfo::getSerialNumber());

    root.write(kSerialFile, "SN-0042\r\nsecond line\n");
    root.copyData("hw/model.conf", "etc/quorvane/system/model.conf");
    EXPECT_TRUE(ZorObxInfo::loadData());
    EXPECT_STREQ("SN-0042", ZorObxInfo::getSerialNumber());
    EXPECT_STREQ("ZS-4000 Storage Server", ZorObxInfo::getModelName());
    EXPECT_EQ(4, ZorObxInfo::getModelId());

    // Getters load on their own when nothing is loaded yet.
    root.write(kSerialFile, "SN-0043\n");
    ZorObxInfo::caSerialNumber[0] = '\0';
    EXPECT_STREQ("SN-0043", ZorObxInfo::getSerialNumber());

    ZorObxInfo::setPartnerSerialNumber(std::string(300, 'p').c_str());
    EXPECT_EQ(std::string(255, 'p'), ZorObxInfo::getPartnerSerialNumber());
    ZorObxInfo::setPartnerSerialNumber(nullptr);
    EXPECT_STREQ("", ZorObxInfo::getPartnerSerialNumber());
}

TEST(ObxInfo, NoSerialFileAndNoMacGivesUnknown)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a private network namespace without ports needs root";
    }
    zortest::TempRoot root;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Only a loopback interface exists in a new namespace, so the MAC
        // query fails; the namespace ends with this process.
        if (unshare(CLONE_NEWNET) != 0 || chdir(root.path().c_str()) != 0) {
            _exit(2);
        }
        char buffer[32];
        bool ok = !macToSerialNumber(buffer, sizeof buffer) && std::strcmp(buffer, "Unknown") == 0;
        ZorObxInfo::loadData();
        ok = ok && std::strcmp(ZorObxInfo::getSerialNumber(), "Unknown") == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}
