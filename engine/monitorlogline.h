// One line of the monitoring log, written and read back in one place so
// that the thread's writing and the console's reading cannot drift apart:
//
//     YYYY-MM-DD HH:MM:SS sample NAME=VALUE
//     YYYY-MM-DD HH:MM:SS alert NAME=VALUE DESCRIPTION
//     YYYY-MM-DD HH:MM:SS resolved NAME=VALUE DESCRIPTION
//
// An alert that a silence or an acknowledgement kept from being sent ends
// in " (silenced by ID)" or " (acknowledged by USER)".
//
// A VALUE that is a text with blanks, quotes, backslashes or control
// characters is written in double quotes (quoteValue) and read back as it
// was sampled.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace zormon {

/// "YYYY-MM-DD HH:MM:SS" in local time (TZ honoured).
std::string formatLocalTime(std::time_t when);
/// "YYYY-MM-DD HH:MM:SS" read as local time; 0 when it is not of that form.
std::time_t parseClock(const std::string& text);

/// VALUE as written in log lines and messages: a text holding blanks, quotes,
/// backslashes or control characters goes in double quotes, with a quote or
/// backslash escaped by a backslash and a control character written as
/// backslash, x and two hex digits, so that one line stays one line and
/// NAME=VALUE can be split again.
std::string quoteValue(const std::string& value, bool isNumber);

/// What follows the time stamp of a sample line: "sample NAME=VALUE".
std::string sampleText(const std::string& name, const std::string& value, bool isNumber);
/// What follows the time stamp of an alert line: "alert MESSAGE".
std::string alertText(const std::string& message);
/// What follows the time stamp of a resolved line: "resolved MESSAGE".
std::string resolvedText(const std::string& message);
/// The whole line as written: the time stamp of when, a blank, the text and
/// a newline.
std::string logLine(std::time_t when, const std::string& text);

/// A line as read back (without its newline).
struct LogLine {
    enum class Kind { sample, alert, resolved };
    Kind kind = Kind::sample;
    std::string clock; ///< the time stamp as written
    std::string rest;  ///< what follows "sample ", "alert " or "resolved "
};
/// Splits a sample, alert or resolved line; false for any other line.
bool splitLogLine(const std::string& line, LogLine* out);
/// The NAME=VALUE fields of a sample line's rest, each value as it was
/// sampled (quotes and escapes undone).
std::vector<std::pair<std::string, std::string>> sampleFields(const std::string& rest);

} // namespace zormon
