#include "monitorlogline.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zormon {

namespace {

constexpr size_t kClockLength = 19; ///< "YYYY-MM-DD HH:MM:SS"
const std::string kSample = " sample ";
const std::string kAlert = " alert ";
const std::string kResolved = " resolved ";

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

/// The value of a hex digit, or -1.
int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string formatLocalTime(std::time_t when)
{
    std::tm parts{};
    localtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::time_t parseClock(const std::string& text)
{
    std::tm tm{};
    if (text.size() < kClockLength ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6) {
        return 0;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string quoteValue(const std::string& value, bool isNumber)
{
    const bool plain = isNumber || std::none_of(value.begin(), value.end(), [](char c) {
                           return c == ' ' || c == '"' || c == '\\' || isControl(c);
                       });
    if (plain && !value.empty()) {
        return value;
    }
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (isControl(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            quoted += hex;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string sampleText(const std::string& name, const std::string& value, bool isNumber)
{
    return "sample " + name + "=" + quoteValue(value, isNumber);
}

std::string alertText(const std::string& message) { return "alert " + message; }

std::string resolvedText(const std::string& message) { return "resolved " + message; }

std::string logLine(std::time_t when, const std::string& text) { return formatLocalTime(when) + " " + text + "\n"; }

bool splitLogLine(const std::string& line, LogLine* out)
{
    for (const auto kind : {LogLine::Kind::sample, LogLine::Kind::alert, LogLine::Kind::resolved}) {
        const std::string& word = kind == LogLine::Kind::sample  ? kSample
                                  : kind == LogLine::Kind::alert ? kAlert
                                                                 : kResolved;
        if (line.size() >= kClockLength + word.size() && line.compare(kClockLength, word.size(), word) == 0) {
            out->kind = kind;
            out->clock = line.substr(0, kClockLength);
            out->rest = line.substr(kClockLength + word.size());
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> sampleFields(const std::string& rest)
{
    std::vector<std::pair<std::string, std::string>> out;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && rest[i] == ' ') {
            ++i;
        }
        size_t eq = rest.find('=', i);
        if (eq == std::string::npos) {
            break;
        }
        std::string name = rest.substr(i, eq - i);
        std::string value;
        i = eq + 1;
        if (i < rest.size() && rest[i] == '"') {
            for (++i; i < rest.size() && rest[i] != '"'; ++i) {
                if (rest[i] == '\\' && i + 1 < rest.size()) {
                    ++i;
                    // \xHH is a control character; \" and \\ are the character.
                    const int high = rest[i] == 'x' && i + 2 < rest.size() ? hexDigit(rest[i + 1]) : -1;
                    const int low = high >= 0 ? hexDigit(rest[i + 2]) : -1;
                    if (low >= 0) {
                        value += static_cast<char>(high * 16 + low);
                        i += 2;
                        continue;
                    }
                }
                value += rest[i];
            }
            ++i;
        } else {
            size_t end = rest.find(' ', i);
            value = rest.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? rest.size() : end;
        }
        if (name.find(' ') == std::string::npos && !name.empty()) {
            out.emplace_back(name, value);
        }
    }
    return out;
}

} // namespace zormon
