// The graph of a variable's samples over a day or a week, with the
// thresholds of its triggers and its alerts, drawn as SVG on the server.
#include "pagekit.h"

#include "monitorlogic.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace console {
namespace page {

/// The log names of the day and, for a week, the six days before it.
std::vector<std::string> spanDays(const std::string& day, bool week)
{
    std::vector<std::string> days{day};
    if (week && validLogName(day)) {
        std::tm tm{};
        tm.tm_year = std::stoi(day.substr(1, 4)) - 1900;
        tm.tm_mon = std::stoi(day.substr(5, 2)) - 1;
        tm.tm_mday = std::stoi(day.substr(7, 2));
        tm.tm_hour = 12;
        tm.tm_isdst = -1;
        std::time_t t = std::mktime(&tm);
        for (int i = 1; i < 7; ++i) {
            std::string name = zormon::dayLogName(t - i * 86400);
            days.insert(days.begin(), name.substr(0, name.size() - 4));
        }
    }
    return days;
}

Series readSeries(PageContext& c, const std::string& variable, const std::string& day, bool week)
{
    Series s;
    for (const auto& d : spanDays(day, week)) {
        std::string text;
        if (!readLog(c.logFolder(), d, &text)) continue;
        auto pts = samplesOf(text, variable);
        auto al = alertsOf(text, variable);
        s.points.insert(s.points.end(), pts.begin(), pts.end());
        s.alerts.insert(s.alerts.end(), al.begin(), al.end());
    }
    auto days = spanDays(day, week);
    if (validLogName(days.front())) {
        std::string d = days.front();
        s.from = parseClock(d.substr(1, 4) + "-" + d.substr(5, 2) + "-" + d.substr(7, 2) + " 00:00:00");
        s.to = s.from + static_cast<std::time_t>(days.size()) * 86400;
    }
    return s;
}

/// Thresholds of the committed or session table's triggers on variable.
std::vector<std::pair<double, std::string>> thresholds(PageContext& c, WebSession& s, const std::string& variable)
{
    std::vector<std::pair<double, std::string>> out;
    zor::Expected<std::vector<std::string>> entries = c.table(s);
    if (!entries) return out;
    for (const auto& xml : *entries) {
        EntryForm e;
        if (!readEntry(xml, &e) || e.variable != variable) continue;
        for (const auto& t : e.triggers) {
            auto add = [&out, &t](const std::string& v) {
                zormon::Sample sample;
                if (zormon::parseSample(v, &sample) && sample.isNumber) out.emplace_back(sample.number, describeTrigger(t));
            };
            if (t.kind == "single-value") add(t.value);
            if (t.kind == "interval-value") {
                add(t.lowValue);
                add(t.highValue);
            }
        }
    }
    return out;
}

std::string svgGraph(const Series& series, const std::vector<std::pair<double, std::string>>& lines,
                     const TryResult* tried)
{
    const double W = 900, H = 320, L = 60, R = 25, T = 10, B = 30;
    std::vector<std::pair<std::time_t, double>> values;
    for (const auto& p : series.points) {
        zormon::Sample s;
        if (zormon::parseSample(p.value, &s) && s.isNumber) values.emplace_back(p.when, s.number);
    }
    double lo = 0, hi = 1;
    bool any = false;
    for (const auto& v : values) {
        lo = any ? std::min(lo, v.second) : v.second;
        hi = any ? std::max(hi, v.second) : v.second;
        any = true;
    }
    for (const auto& l : lines) {
        lo = any ? std::min(lo, l.first) : l.first;
        hi = any ? std::max(hi, l.first) : l.first;
        any = true;
    }
    if (hi - lo < 1e-9) {
        hi = lo + 1;
    }
    double pad = (hi - lo) * 0.05;
    lo -= pad;
    hi += pad;
    std::time_t from = series.from, to = series.to > series.from ? series.to : series.from + 86400;
    auto x = [&](std::time_t t) { return L + (W - L - R) * double(t - from) / double(to - from); };
    auto y = [&](double v) { return T + (H - T - B) * (1 - (v - lo) / (hi - lo)); };
    std::ostringstream o;
    o.precision(6);
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H << "\" viewBox=\"0 0 " << W
      << ' ' << H << "\" id=\"graph\">";
    o << "<line x1=\"" << L << "\" y1=\"" << H - B << "\" x2=\"" << W - R << "\" y2=\"" << H - B
      << "\" stroke=\"#999\"/><line x1=\"" << L << "\" y1=\"" << T << "\" x2=\"" << L << "\" y2=\"" << H - B
      << "\" stroke=\"#999\"/>";
    for (int i = 0; i <= 4; ++i) {
        double v = lo + (hi - lo) * i / 4;
        o << "<text x=\"" << L - 4 << "\" y=\"" << y(v) + 4 << "\" font-size=\"11\" text-anchor=\"end\">"
          << zormon::formatNumber(std::round(v * 100) / 100) << "</text>";
    }
    long span = long(to - from);
    for (long t = 0; t <= span; t += span > 86400 ? 86400 : 3 * 3600) {
        std::string label = zormon::formatLocalTime(from + t).substr(span > 86400 ? 5 : 11, span > 86400 ? 5 : 5);
        o << "<text x=\"" << x(from + t) << "\" y=\"" << H - 10 << "\" font-size=\"11\" text-anchor=\"middle\">"
          << h(label) << "</text>";
    }
    for (const auto& l : lines) {
        o << "<line class=\"threshold\" x1=\"" << L << "\" x2=\"" << W - R << "\" y1=\"" << y(l.first) << "\" y2=\""
          << y(l.first) << "\"><title>" << h(l.second) << "</title></line>";
    }
    for (const auto& a : series.alerts) {
        o << "<line class=\"alert\" x1=\"" << x(a.when) << "\" x2=\"" << x(a.when) << "\" y1=\"" << T << "\" y2=\""
          << H - B << "\"><title>" << h(a.line) << "</title></line>";
    }
    if (!values.empty()) {
        o << "<polyline fill=\"none\" stroke=\"#48a\" points=\"";
        for (const auto& v : values) o << x(v.first) << ',' << y(v.second) << ' ';
        o << "\"/>";
    }
    for (const auto& v : values) {
        o << "<circle class=\"pt\" r=\"2.5\" cx=\"" << x(v.first) << "\" cy=\"" << y(v.second) << "\"/>";
    }
    if (tried != nullptr) {
        for (const auto& p : tried->points) {
            zormon::Sample s;
            if (!(p.fired || p.suppressed) || !zormon::parseSample(p.sample.value, &s) || !s.isNumber) continue;
            o << "<circle class=\"" << (p.fired ? "fired" : "suppressed") << "\" r=\"6\" cx=\"" << x(p.sample.when)
              << "\" cy=\"" << y(s.number) << "\"><title>" << h(p.sample.clock + " " + p.message) << "</title></circle>";
        }
    }
    o << "</svg>";
    return o.str();
}

} // namespace page
} // namespace console
