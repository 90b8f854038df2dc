// zorinfo as people run it: the built binary against a fixture root and the
// live loopback interface.
#include "zortest.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Output {
    int status = -1;
    std::string out;
    std::string err;
};

Output zorinfo(const std::vector<std::string>& args)
{
    zortest::TempRoot io;
    std::string out = io.at("out"), err = io.at("err");
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0) {
            _exit(127);
        }
        dup2(o, 1);
        dup2(e, 2);
        std::string exe = zortest::binPath("zorinfo");
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        unsetenv("ZOR_ROOT");
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Output run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128;
    run.out = zortest::readFile(out);
    run.err = zortest::readFile(err);
    return run;
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(Zorinfo, EverySubcommandHasHelp)
{
    for (const char* sub : {"interfaces", "routes", "layout", "pci", "fc", "identity"}) {
        Output run = zorinfo({sub, "--help"});
        EXPECT_EQ(0, run.status) << sub;
        EXPECT_TRUE(has(run.out, std::string("Usage: zorinfo ") + sub)) << run.out;
    }
    EXPECT_NE(0, zorinfo({}).status);
    EXPECT_NE(0, zorinfo({"disks"}).status);
}

TEST(Zorinfo, ReportsFromAFixtureRoot)
{
    zortest::TempRoot root;
    root.copyData("hw/pci-devices", "proc/bus/pci/devices");
    root.copyData("hw/pci.ids", "usr/share/pci.ids");
    root.copyData("hw/net-route", "proc/net/route");
    root.copyData("hw/model.conf", "etc/quorvane/system/model.conf");
    root.write("configs/etc/quorvane/system/.serialnumber", "SN-7\n");

    Output pci = zorinfo({"--root", root.path(), "pci", "--ids"});
    EXPECT_EQ(0, pci.status);
    EXPECT_TRUE(has(pci.out, "01:02.1: 8086 100e\n01:02.1 Intel Corporation 82540EM Gigabit Ethernet Controller\n"))
        << pci.out;
    EXPECT_TRUE(has(pci.out, "03:00.0 Fixture Vendor Without Devices Unknown device\n")) << pci.out;

    Output routes = zorinfo({"--root", root.path(), "routes", "--flags", "G"});
    EXPECT_EQ("Device\t    Destination\t        Gateway\t           Mask\tFlags\n"
              "eth0\t        0.0.0.0\t    192.168.2.1\t        0.0.0.0\tUG\n"
              "eth1\t        0.0.0.0\t   10.10.10.254\t        0.0.0.0\tUG\n"
              "eth1\t        0.0.0.0\t   10.10.10.253\t        0.0.0.0\tUG\n",
              routes.out);

    Output identity = zorinfo({"--root", root.path(), "identity"});
    EXPECT_EQ(0, identity.status);
    EXPECT_EQ("Serial number: SN-7\nModel name:    ZS-4000 Storage Server\nModel id:      4\n", identity.out);
    // A relative root names the same installation as its absolute form.
    std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::path rootPath(root.path());
    std::filesystem::current_path(rootPath.parent_path());
    Output relative = zorinfo({"--root", rootPath.filename().string(), "identity"});
    std::filesystem::current_path(here);
    EXPECT_EQ(identity.out, relative.out);

    Output noFc = zorinfo({"--root", root.path(), "fc"});
    EXPECT_EQ(1, noFc.status);
    EXPECT_TRUE(has(noFc.err, "no Fibre Channel port status in " + root.path())) << noFc.err;
    root.copyData("hw/fc-status", "etc/quorvane/fc/QLogicPortStatus");
    Output fc = zorinfo({"--root", root.path(), "fc"});
    EXPECT_EQ(0, fc.status);
    EXPECT_TRUE(has(fc.out, "Model: QLA2342\nPorts: 2\n  + hba0\n    - Channel:  0\n")) << fc.out;
    EXPECT_TRUE(has(fc.out, "    - Status:   Link Down\n")) << fc.out;

    Output layout = zorinfo({"--root", root.path(), "layout"});
    EXPECT_EQ(0, layout.status);
    EXPECT_TRUE(has(layout.out, "[      ][      ][      ][      ][      ][      ][      ][      ]\n")) << layout.out;
}

TEST(Zorinfo, InterfaceReportOfTheLiveLoopback)
{
    Output lo = zorinfo({"interfaces", "lo", "--ethtool"});
    EXPECT_EQ(0, lo.status);
    EXPECT_EQ(0u, lo.out.find("  + lo\n   - Address:      127.0.0.1\n   - Netmask:      255.0.0.0\n")) << lo.out;
    EXPECT_TRUE(has(lo.out, "   - Type:         Loopback ( 1 )\n")) << lo.out;
    EXPECT_TRUE(has(lo.out, "---------------------------\n\n  - Data Not Available for this device\n\n")) << lo.out;

    Output all = zorinfo({"interfaces"});
    EXPECT_EQ(0, all.status);
    EXPECT_TRUE(has(all.out, "  + lo\n"));
    Output none = zorinfo({"interfaces", "zornosuch0"});
    EXPECT_EQ(1, none.status);
    EXPECT_EQ("zorinfo: no interface named zornosuch0\n", none.err);
}
