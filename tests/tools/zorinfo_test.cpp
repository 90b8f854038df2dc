// zorinfo as people run it: the built binary against a fixture root and the
// live loopback interface. The reports' contents are the library's and are
// tested with it; here: options, exit statuses and that each report shows.
#include "zortest.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

using zortest::HostRun;

namespace {

HostRun zorinfo(const std::vector<std::string>& args) { return zortest::runProgram("zorinfo", args); }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace

TEST(Zorinfo, EverySubcommandHasHelp)
{
    for (const char* sub : {"interfaces", "routes", "layout", "pci", "fc", "identity"}) {
        HostRun run = zorinfo({sub, "--help"});
        EXPECT_EQ(0, run.status) << sub;
        EXPECT_TRUE(has(run.out, std::string("Usage: zorinfo ") + sub)) << run.out;
    }
    for (const std::vector<std::string>& usage : std::vector<std::vector<std::string>>{
             {}, {"disks"}, {"pci", "--bogus"}, {"pci", "--root", "/nonexistent/root"}}) {
        EXPECT_EQ(2, zorinfo(usage).status) << ::testing::PrintToString(usage);
    }
}

TEST(Zorinfo, ReportsFromAFixtureRoot)
{
    zortest::TempRoot root;
    root.copyData("hw/pci-devices", "proc/bus/pci/devices");
    root.copyData("hw/pci.ids", "usr/share/pci.ids");
    root.copyData("hw/net-route", "proc/net/route");
    root.copyData("hw/model.conf", "etc/quorvane/system/model.conf");
    root.write("configs/etc/quorvane/system/.serialnumber", "SN-7\n");
    auto in = [&root](std::vector<std::string> args) {
        args.insert(args.begin(), {"--root", root.path()});
        return zorinfo(args);
    };

    EXPECT_TRUE(has(in({"pci", "--ids"}).out, "01:02.1: 8086 100e\n01:02.1 Intel Corporation 82540EM Gigabit"));
    HostRun routes = in({"routes", "--flags", "G"}); // the header and the three gateway routes
    EXPECT_EQ(4, std::count(routes.out.begin(), routes.out.end(), '\n')) << routes.out;
    EXPECT_TRUE(has(in({"layout"}).out, "[      ][      ][      ][      ][      ][      ][      ][      ]\n"));

    // Options stand anywhere; --json gives the same facts as one document.
    nlohmann::json pci = nlohmann::json::parse(zorinfo({"pci", "--json", "--root", root.path()}).out);
    auto nic = std::find_if(pci.begin(), pci.end(), [](const nlohmann::json& d) { return d["slot"] == "01:02.1"; });
    ASSERT_NE(nic, pci.end()) << pci.dump();
    EXPECT_EQ((*nic)["deviceId"], "100e");
    EXPECT_EQ((*nic)["device"], "82540EM Gigabit Ethernet Controller");
    EXPECT_EQ(nlohmann::json::parse(in({"routes", "--flags", "G", "--json"}).out).size(), 3u);
    EXPECT_EQ(nlohmann::json::parse(in({"identity", "--json"}).out)["serialNumber"], "SN-7");

    HostRun identity = in({"identity"});
    EXPECT_EQ("Serial number: SN-7\nModel name:    ZS-4000 Storage Server\nModel id:      4\n", identity.out);
    // A relative root names the same installation as its absolute form.
    std::filesystem::path here = std::filesystem::current_path(), absolute(root.path());
    std::filesystem::current_path(absolute.parent_path());
    HostRun relative = zorinfo({"--root", absolute.filename().string(), "identity"});
    std::filesystem::current_path(here);
    EXPECT_EQ(identity.out, relative.out);

    HostRun noFc = in({"fc"});
    EXPECT_EQ(1, noFc.status);
    EXPECT_TRUE(has(noFc.err, "no Fibre Channel port status in " + root.path())) << noFc.err;
    root.copyData("hw/fc-status", "etc/quorvane/fc/QLogicPortStatus");
    HostRun fc = in({"fc"});
    EXPECT_EQ(0, fc.status);
    EXPECT_TRUE(has(fc.out, "Model: QLA2342\nPorts: 2\n  + hba0\n    - Channel:  0\n")) << fc.out;
}

TEST(Zorinfo, InterfaceReportOfTheLiveLoopback)
{
    HostRun lo = zorinfo({"interfaces", "lo", "--ethtool"});
    EXPECT_EQ(0, lo.status);
    EXPECT_EQ(0u, lo.out.find("  + lo\n   - Address:      127.0.0.1\n   - Netmask:      255.0.0.0\n")) << lo.out;
    EXPECT_TRUE(has(lo.out, "---------------------------\n\n  - Data Not Available for this device\n\n")) << lo.out;
    EXPECT_TRUE(has(zorinfo({"interfaces"}).out, "  + lo\n"));
    HostRun none = zorinfo({"interfaces", "zornosuch0"});
    EXPECT_EQ(1, none.status);
    EXPECT_EQ("zorinfo: no interface named zornosuch0\n", none.err);
}
