// Fibre Channel port status and appliance identity from fixture roots.
#include "drive.h"
#include "zorfcstatus.h"
#include "zorobxinfo.h"
#include "zortest.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

Strings fields(const ZorFCDevice& d)
{
    return {d.getDevice(), d.getChannel(), d.getIRQ(), d.getNodeWWN(), d.getPortWWN(), d.getStatus()};
}

/// The root is both ZOR_ROOT and the working directory (the serial number file is relative).
class HwInfo : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZOR_ROOT", root.path().c_str(), 1); std::filesystem::current_path(root.path()); }
    void TearDown() override { unsetenv("ZOR_ROOT"); std::filesystem::current_path(cwd); }
    zortest::TempRoot root;
    std::filesystem::path cwd = std::filesystem::current_path();
};

} // namespace

TEST_F(HwInfo, FibreChannelModelAndPorts)
{
    const char* file = "etc/quorvane/fc/QLogicPortStatus";
    ZorFCStatus status;
    status.readFCStatus(); // no file yet
    EXPECT_EQ(0, status.getDeviceCount());
    root.copyData("hw/fc-status", file); // CR LF line ends, one blank line
    status.readFCStatus();
    EXPECT_EQ("QLA2342", status.getCardModel());
    ASSERT_EQ(2, status.getDeviceCount());
    EXPECT_EQ(Strings({"hba0", "0", "24", "20:00:00:e0:8b:01:02:03", "21:00:00:e0:8b:01:02:03", "Online"}),
              fields(status.getDevice(0)));
    EXPECT_EQ("Link Down", status.getDevice(1).getStatus());
    EXPECT_EQ(Strings(6), fields(status.getDevice(2)));
    EXPECT_EQ(Strings(6), fields(status.getDevice(-1)));

    // A model line alone renames the card and keeps the ports.
    root.write(file, "Some Other Card\n\n");
    status.readFCStatus();
    EXPECT_EQ("unknown", status.getCardModel());
    EXPECT_EQ(2, status.getDeviceCount());
    EXPECT_EQ("QLA2300", status.parseModel("QLA2300 Adapter Ports Adapter Ports\r"));

    // A field without its label spoils only itself; the status runs to the end of the line.
    for (const auto& c : std::vector<std::pair<const char*, Strings>>{
             {"Port hba2, Channel 3", {"hba2", "3", "", "", "", ""}},
             {"Port hba3, Channel 1, IRQ 9, Node 20:00, Port WWN 21:00, Status Online, degraded\r",
              {"hba3", "1", "9", "", "21:00", "Online, degraded"}}}) {
        ZorFCDevice d;
        d.parseStatusLine(c.first);
        EXPECT_EQ(c.second, fields(d)) << c.first;
    }
}

TEST_F(HwInfo, IdentityFromModelFileSerialFileOrMac)
{
    char mac[64];
    std::string expected = eth_getMAC(0, mac, sizeof mac) == 0 ? mac : "Unknown";
    EXPECT_FALSE(ZorObxInfo::loadData());
    EXPECT_EQ(Strings({"UNKNOWN", "-1", expected}), Strings({ZorObxInfo::getModelName(),
                                                              std::to_string(ZorObxInfo::getModelId()),
                                                              ZorObxInfo::getSerialNumber()}));
    root.write("configs/etc/quorvane/system/.serialnumber", "SN-0042\r\nsecond line\n");
    root.copyData("hw/model.conf", "etc/quorvane/system/model.conf");
    ZorObxInfo::caSerialNumber[0] = '\0'; // the getters load on their own when nothing is loaded
    EXPECT_STREQ("SN-0042", ZorObxInfo::getSerialNumber());
    EXPECT_STREQ("ZS-4000 Storage Server", ZorObxInfo::getModelName());
    EXPECT_EQ(4, ZorObxInfo::getModelId());
    EXPECT_TRUE(ZorObxInfo::loadData());

    ZorObxInfo::setPartnerSerialNumber(std::string(300, 'p').c_str());
    EXPECT_EQ(std::string(255, 'p'), ZorObxInfo::getPartnerSerialNumber());
    ZorObxInfo::setPartnerSerialNumber(nullptr);
    EXPECT_STREQ("", ZorObxInfo::getPartnerSerialNumber());
}

TEST_F(HwInfo, NoSerialFileAndNoMacGivesUnknown)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a private network namespace without ports needs root";
    }
    pid_t pid = fork();
    if (pid == 0) { // a new network namespace has only loopback, so the MAC query fails
        _exit(unshare(CLONE_NEWNET) == 0 && ZorObxInfo::loadData() == false &&
                      std::strcmp(ZorObxInfo::getSerialNumber(), "Unknown") == 0 ? 0 : 1);
    }
    int status = -1;
    EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0) << status;
}
