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

std::vector<LogPoint> samplesOf(const std::string& text, const std::string& variable)
{
    std::vector<LogPoint> points;
    LogLine parts;
    eachLine(text, [&](const std::string& line) {
        if (!splitLogLine(line, &parts) || parts.kind != LogLine::Kind::sample) {
            return;
        }
        for (const auto& [name, value] : sampleFields(parts.rest)) {
            if (name == variable) {
                LogPoint p;
                p.clock = parts.clock;
                p.when = parseClock(p.clock);
                p.value = value;
                points.push_back(std::move(p));
            }
        }
    });
    return points;
}

std::vector<LogAlert> alertsOf(const std::string& text, const std::string& variable, bool withResolved)
{
    std::vector<LogAlert> alerts;
    LogLine parts;
    eachLine(text, [&](const std::string& line) {
        if (!splitLogLine(line, &parts) || parts.kind == LogLine::Kind::sample ||
            (parts.kind == LogLine::Kind::resolved && !withResolved)) {
            return;
        }
        LogAlert a;
        a.resolved = parts.kind == LogLine::Kind::resolved;
        a.variable = parts.rest.substr(0, parts.rest.find('='));
        if (!variable.empty() && a.variable != variable) {
            return;
        }
        a.clock = parts.clock;
        a.when = parseClock(a.clock);
        a.line = line;
        alerts.push_back(std::move(a));
    });
    return alerts;
}

std::vector<std::string> sampledNames(const std::string& text)
{
    std::set<std::string> names;
    LogLine parts;
    eachLine(text, [&](const std::string& line) {
        if (splitLogLine(line, &parts) && parts.kind == LogLine::Kind::sample) {
            for (const auto& f : sampleFields(parts.rest)) {
                names.insert(f.first);
            }
        }
    });
    return {names.begin(), names.end()};
}

} // namespace zormon
