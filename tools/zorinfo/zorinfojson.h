// zorinfo --json: each report as one JSON document, from the same library
// calls as the text reports, for scripts that would otherwise parse the
// aligned text.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zorinfojson {

/// Sends what the library prints on standard output (diagnostics such as a
/// malformed ID list line) to /dev/null for the life of the object, so that
/// standard output carries the JSON document only.
class QuietStdout {
public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int _saved = -1;
};

/// One object per interface: addresses, MTU, speeds, MAC, flags, link.
nlohmann::ordered_json interfaces(const std::vector<std::string>& names, bool ethtool);
/// One object per route; mask -1 for all routes, else routes with one of these flags.
nlohmann::ordered_json routes(int mask);
/// One object per interface placed in the port layout: its location and PCI function.
nlohmann::ordered_json layout();
/// One object per PCI device of the device list, with its names.
nlohmann::ordered_json pci();

} // namespace zorinfojson
