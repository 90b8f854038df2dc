// The monitoring logs as the console and zorhost try read them: one file a
// day in the log folder, of the sample and alert lines of monitorlogline.h.
#pragma once

#include "monitorlogline.h" // parseClock, and how a line is written and read

#include <ctime>
#include <string>
#include <vector>

namespace zormon {

struct LogPoint {
    std::time_t when = 0;
    std::string clock; ///< the time stamp as written
    std::string value; ///< as written, quotes removed
};

struct LogAlert {
    std::time_t when = 0;
    std::string clock;
    std::string variable;
    std::string line; ///< the whole line
    bool resolved = false; ///< a resolved line, not an alert line
};

/// Log names (dYYYYMMDD, without ".log"), newest first.
std::vector<std::string> listLogs(const std::string& folder);
/// True for a name of the dYYYYMMDD form, the only ones the console opens.
bool validLogName(const std::string& name);
/// The file's text; false when it cannot be read or passes maxBytes.
bool readLog(const std::string& folder, const std::string& name, std::string* text, size_t maxBytes = size_t(64) << 20);

/// Every sample of variable in a log text, in order.
std::vector<LogPoint> samplesOf(const std::string& text, const std::string& variable);
/// The alert lines of a log text (of one variable when it is not empty);
/// with withResolved, the resolved lines too, in the order written.
std::vector<LogAlert> alertsOf(const std::string& text, const std::string& variable = "", bool withResolved = false);
/// The names that sample lines of a text carry.
std::vector<std::string> sampledNames(const std::string& text);

} // namespace zormon
