// zorinfo: what the appliance's hardware and network utilities see, printed
// for people. Every report reads the same files and kernel interfaces as the
// utilities themselves, so it shows what the management backend would see.
#include "ethutils.h"
#include "pcitools.h"
#include "zorfcstatus.h"
#include "zorinfojson.h"
#include "zorobxinfo.h"
#include "zorpath.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int interfaces(const std::vector<std::string>& names, bool ethtool, bool json)
{
    std::vector<std::string> list = names;
    if (list.empty()) {
        int cursor = 0;
        char name[IFNAMSIZ];
        for (int r = if_enumFirst(&cursor, name, sizeof name); r == 0; r = if_enumNext(&cursor, name, sizeof name)) {
            list.push_back(name);
        }
    }
    for (const std::string& name : list) {
        if (if_getIndex(name.c_str()) < 0) {
            std::fprintf(stderr, "zorinfo: no interface named %s\n", name.c_str());
            return 1;
        }
    }
    if (json) {
        std::cout << zorinfojson::interfaces(list, ethtool).dump(2) << '\n';
        return 0;
    }
    for (const std::string& name : list) {
        if_print(name.c_str());
        if (ethtool) {
            if_printEthtoolInfo(name.c_str());
        }
    }
    return 0;
}

int fibreChannel(bool json)
{
    ZorFCStatus status;
    status.readFCStatus();
    if (status.getCardModel().empty() && status.getDeviceCount() == 0) {
        std::fprintf(stderr, "zorinfo: no Fibre Channel port status in %s\n",
                     zorResolvePath(ZOR_FC_STATUS_FILE).c_str());
        return 1;
    }
    if (json) {
        nlohmann::ordered_json ports = nlohmann::ordered_json::array();
        for (int i = 0; i < status.getDeviceCount(); ++i) {
            ZorFCDevice d = status.getDevice(i);
            ports.push_back({{"device", d.getDevice()}, {"channel", d.getChannel()}, {"irq", d.getIRQ()},
                             {"nodeWWN", d.getNodeWWN()}, {"portWWN", d.getPortWWN()}, {"status", d.getStatus()}});
        }
        nlohmann::ordered_json report = {{"model", status.getCardModel()}, {"ports", ports}};
        std::cout << report.dump(2) << '\n';
        return 0;
    }
    std::printf("Model: %s\n", status.getCardModel().c_str());
    std::printf("Ports: %d\n", status.getDeviceCount());
    for (int i = 0; i < status.getDeviceCount(); ++i) {
        ZorFCDevice d = status.getDevice(i);
        std::printf("  + %s\n", d.getDevice().c_str());
        std::printf("    - Channel:  %s\n", d.getChannel().c_str());
        std::printf("    - IRQ:      %s\n", d.getIRQ().c_str());
        std::printf("    - Node WWN: %s\n", d.getNodeWWN().c_str());
        std::printf("    - Port WWN: %s\n", d.getPortWWN().c_str());
        std::printf("    - Status:   %s\n", d.getStatus().c_str());
    }
    return 0;
}

int identity(bool json)
{
    // The serial number file is named relative to the current directory;
    // appliance processes run from the root of their installation.
    const char* root = std::getenv("ZOR_ROOT");
    std::string base = root != nullptr && *root != '\0' ? root : "/";
    if (chdir(base.c_str()) != 0) {
        std::fprintf(stderr, "zorinfo: cannot change to %s\n", base.c_str());
        return 1;
    }
    bool known = ZorObxInfo::loadData();
    if (json) {
        nlohmann::ordered_json report = {{"serialNumber", ZorObxInfo::getSerialNumber()},
                                         {"modelName", ZorObxInfo::getModelName()},
                                         {"modelId", ZorObxInfo::getModelId()},
                                         {"modelKnown", known}};
        std::cout << report.dump(2) << '\n';
        return 0;
    }
    std::printf("Serial number: %s\n", ZorObxInfo::getSerialNumber());
    std::printf("Model name:    %s\n", ZorObxInfo::getModelName());
    std::printf("Model id:      %d\n", ZorObxInfo::getModelId());
    if (!known) {
        std::printf("(the hardware library does not know this appliance's model)\n");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("Reports on the appliance's network interfaces, routes, port layout, PCI devices,\n"
                 "Fibre Channel ports and identity. ZOR_ROOT (or --root) reads the files of\n"
                 "another installation; kernel queries always show this machine.",
                 "zorinfo");
    app.require_subcommand(1);
    // Options of zorinfo itself may stand anywhere, before or after the
    // subcommand: each subcommand hands what it does not know to zorinfo.
    app.fallthrough();
    std::string root;
    bool json = false;
    app.add_option("--root", root, "Installation root to read files from (sets ZOR_ROOT)")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--json", json, "Print the report as one JSON document");
    app.set_version_flag("--version", std::string("zorinfo, network utilities ") + if_getLibVersion());

    CLI::App* cmdInterfaces = app.add_subcommand("interfaces", "Report on each network interface");
    std::vector<std::string> names;
    bool ethtool = false;
    cmdInterfaces->add_option("names", names, "Interfaces to report on (default: all)");
    cmdInterfaces->add_flag("--ethtool", ethtool, "Add the driver information of each interface");

    CLI::App* cmdRoutes = app.add_subcommand("routes", "Print the IPv4 routing table");
    std::string flagLetters;
    cmdRoutes->add_option("--flags", flagLetters,
                          "Only routes with one of these flag letters, e.g. UG (default: all routes)");

    CLI::App* cmdLayout =
        app.add_subcommand("layout", "Show which interface sits at which port (locations 0-7 by functions 3-0)");

    CLI::App* cmdPci = app.add_subcommand("pci", "List the PCI devices with their vendor and device names");
    bool details = false;
    bool ids = false;
    cmdPci->add_flag("--details", details, "Print every field of each device");
    cmdPci->add_flag("--ids", ids, "Print the numeric vendor and device ids");

    CLI::App* cmdFc = app.add_subcommand("fc", "Show the Fibre Channel adapter's port status");
    CLI::App* cmdIdentity = app.add_subcommand("identity", "Show serial number, model name and model id");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        std::cerr << "zorinfo: " << e.what() << "\nRun with --help for more information.\n";
        return 2;
    }

    if (root.empty()) {
        const char* inherited = std::getenv("ZOR_ROOT");
        root = inherited != nullptr ? inherited : "";
    }
    if (!root.empty()) {
        // The identity report changes into the root (see above), so a
        // relative root would no longer point where the user meant.
        std::error_code ec;
        std::filesystem::path absolute = std::filesystem::absolute(root, ec);
        setenv("ZOR_ROOT", ec ? root.c_str() : absolute.c_str(), 1);
    }
    int status = 0;
    if (*cmdInterfaces) {
        status = interfaces(names, ethtool, json);
    } else if (*cmdRoutes) {
        int mask = flagLetters.empty() ? -1 : static_cast<int>(rt_string_to_flags(flagLetters.c_str()));
        if (json) {
            std::cout << zorinfojson::routes(mask).dump(2) << '\n';
        } else {
            rt_print(mask);
        }
    } else if (*cmdLayout) {
        if (json) {
            std::cout << zorinfojson::layout().dump(2) << '\n';
        } else {
            if_printLayout();
        }
    } else if (*cmdPci) {
        if (json) {
            std::cout << zorinfojson::pci().dump(2) << '\n';
        } else {
            pci_printall(PCI_PRINT_NAMES | (details ? PCI_PRINT_DETAILS : 0) | (ids ? PCI_PRINT_IDS : 0));
        }
    } else if (*cmdFc) {
        status = fibreChannel(json);
    } else if (*cmdIdentity) {
        status = identity(json);
    }
    std::fflush(stdout);
    return status;
}
