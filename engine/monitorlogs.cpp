#include "monitorlogs.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace zormon {

namespace {

/// Splits the NAME=VALUE fields of a sample line's rest, honouring the
/// double quotes (with \" and \\) that a text value with blanks gets.
std::vector<std::pair<std::string, std::string>> fields(const std::string& rest)
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

template <typename F>
void eachLine(const std::string& text, F f)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        f(text.substr(start, end - start));
        start = end + 1;
    }
}

} // namespace

bool validLogName(const std::string& name)
{
    if (name.size() != 9 || name[0] != 'd') {
        return false;
    }
    return std::all_of(name.begin() + 1, name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::vector<std::string> listLogs(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string file = it->path().filename().string();
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".log") == 0 && validLogName(file.substr(0, file.size() - 4))) {
            names.push_back(file.substr(0, file.size() - 4));
        }
    }
    std::sort(names.rbegin(), names.rend());
    return names;
}

bool readLog(const std::string& folder, const std::string& name, std::string* text, size_t maxBytes)
{
    if (!validLogName(name)) {
        return false;
    }
    std::string path = folder + (folder.empty() || folder.back() == '/' ? "" : "/") + name + ".log";
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) > maxBytes || ec) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

std::time_t parseClock(const std::string& text)
{
    std::tm tm{};
    if (text.size() < 19 || std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                                         &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6) {
        return 0;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::vector<LogPoint> samplesOf(const std::string& text, const std::string& variable)
{
    std::vector<LogPoint> points;
    eachLine(text, [&](const std::string& line) {
        if (line.size() < 27 || line.compare(19, 8, " sample ") != 0) {
            return;
        }
        for (const auto& [name, value] : fields(line.substr(27))) {
            if (name == variable) {
                LogPoint p;
                p.clock = line.substr(0, 19);
                p.when = parseClock(p.clock);
                p.value = value;
                points.push_back(std::move(p));
            }
        }
    });
    return points;
}

std::vector<LogAlert> alertsOf(const std::string& text, const std::string& variable)
{
    std::vector<LogAlert> alerts;
    eachLine(text, [&](const std::string& line) {
        if (line.size() < 26 || line.compare(19, 7, " alert ") != 0) {
            return;
        }
        std::string rest = line.substr(26);
        LogAlert a;
        a.variable = rest.substr(0, rest.find('='));
        if (!variable.empty() && a.variable != variable) {
            return;
        }
        a.clock = line.substr(0, 19);
        a.when = parseClock(a.clock);
        a.line = line;
        alerts.push_back(std::move(a));
    });
    return alerts;
}

std::vector<std::string> sampledNames(const std::string& text)
{
    std::set<std::string> names;
    eachLine(text, [&](const std::string& line) {
        if (line.size() >= 27 && line.compare(19, 8, " sample ") == 0) {
            for (const auto& f : fields(line.substr(27))) {
                names.insert(f.first);
            }
        }
    });
    return {names.begin(), names.end()};
}

} // namespace zormon
