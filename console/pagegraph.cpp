// The Graph page: a variable's samples over a range of time that ends now
// (or at the end of a past day), with the thresholds of its triggers and its
// alerts, drawn as SVG on the server. Ticks fall on round values (1, 2 or 5
// times a power of ten, in the variable's unit) and round times.
#include "pagekit.h"
#include "paging.h"

#include "monitorlogic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace console {
namespace page {

namespace {

constexpr long kLongestCustom = 31 * 86400;

/// Local midnight of the day of when.
std::time_t midnightOf(std::time_t when, int addDays = 0)
{
    std::tm tm{};
    localtime_r(&when, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_mday += addDays;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

/// The local midnight that starts a log of the dYYYYMMDD form; 0 for another name.
std::time_t dayStart(const std::string& day)
{
    if (!validLogName(day)) return 0;
    return parseClock(day.substr(1, 4) + "-" + day.substr(5, 2) + "-" + day.substr(7, 2) + " 00:00:00");
}

std::string dayName(std::time_t when)
{
    std::string name = zormon::dayLogName(when);
    return name.substr(0, name.size() - 4);
}

/// A time the form's custom fields give: "YYYY-MM-DDTHH:MM" as a browser's
/// date-time field sends it, or the log's "YYYY-MM-DD HH:MM[:SS]"; 0 when
/// it is neither.
std::time_t readWhen(std::string text)
{
    if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    if (text.size() == 16) text += ":00";
    return text.size() == 19 ? parseClock(text) : 0;
}

std::string whenField(std::time_t when) { return when == 0 ? "" : zormon::formatLocalTime(when).substr(0, 16).replace(10, 1, "T"); }

/// "%.*f" with as many decimals as step needs, without "-0".
std::string fixed(double v, double step)
{
    int decimals = step > 0 ? std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9))) : 0;
    if (std::fabs(v) < step * 1e-6) v = 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::min(decimals, 9), v);
    return text;
}

const std::vector<std::pair<std::string, std::string>>& rangeChoices()
{
    static const std::vector<std::pair<std::string, std::string>> choices = {
        {"15m", "15 min"}, {"1h", "1 h"}, {"6h", "6 h"}, {"day", "day"}, {"week", "week"}, {"custom", "custom"}};
    return choices;
}

} // namespace

std::vector<std::string> spanDays(const std::string& day, bool week)
{
    std::vector<std::string> days{day};
    if (week && validLogName(day)) {
        std::time_t noon = dayStart(day) + 12 * 3600;
        for (int i = 1; i < 7; ++i) days.insert(days.begin(), dayName(noon - i * 86400));
    }
    return days;
}

Series readSeries(PageContext& c, const std::string& variable, std::time_t from, std::time_t to)
{
    Series s;
    s.from = from;
    s.to = to;
    // Noon of each day steps safely over days of 23 or 25 hours.
    for (std::time_t noon = midnightOf(from) + 12 * 3600; noon < to + 12 * 3600; noon += 86400) {
        std::string text;
        if (!readLog(c.logFolder(), dayName(noon), &text)) continue;
        for (const auto& p : samplesOf(text, variable)) {
            if (p.when >= from && p.when <= to) s.points.push_back(p);
        }
        for (const auto& a : alertsOf(text, variable)) {
            if (a.when >= from && a.when <= to) s.alerts.push_back(a);
        }
    }
    return s;
}

Series readSeries(PageContext& c, const std::string& variable, const std::string& day, bool week)
{
    std::vector<std::string> days = spanDays(day, week);
    std::time_t from = dayStart(days.front());
    if (from == 0) return {};
    return readSeries(c, variable, from, midnightOf(from + 12 * 3600, static_cast<int>(days.size())) - 1);
}

std::string unitOf(const std::string& variable)
{
    // What the catalogue's definitions say each built-in measures.
    static const std::map<std::string, std::string> units = {
        {"cpu", "%"},
        {"memory-available", "MiB"},
        {"root-free-space", "MiB"},
        {"swap-used", "MiB"},
        {"uptime", "s"},
        {"network-rx-rate", "B/s"},
        {"network-tx-rate", "B/s"},
        {"temperature", "°C"},
    };
    auto it = units.find(variable);
    return it == units.end() ? "" : it->second;
}

std::string withUnit(const std::string& number, const std::string& unit)
{
    return unit.empty() ? number : number + " " + unit;
}

std::vector<double> valueTicks(double lo, double hi, int most)
{
    if (!(hi > lo)) hi = lo + 1;
    double raw = (hi - lo) / std::max(1, most - 1);
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power * 10;
    for (double f : {1.0, 2.0, 5.0}) {
        if (raw <= f * power * (1 + 1e-9)) {
            step = f * power;
            break;
        }
    }
    std::vector<double> ticks;
    for (double k = std::floor(lo / step + 1e-9); k <= std::ceil(hi / step - 1e-9); k += 1) ticks.push_back(k * step);
    return ticks;
}

std::vector<TimeTick> timeTicks(std::time_t from, std::time_t to)
{
    const long span = static_cast<long>(to - from);
    static const long steps[] = {60, 300, 900, 3600, 3 * 3600, 6 * 3600, 86400, 2 * 86400, 7 * 86400, 28 * 86400};
    long step = steps[0];
    for (long s : steps) {
        step = s;
        if (span / s <= 8) break;
    }
    std::vector<TimeTick> ticks;
    if (step >= 86400) {
        // Local midnights, counted by the calendar so that a day of 23 or
        // 25 hours keeps them on midnight.
        const int days = static_cast<int>(step / 86400);
        for (std::time_t t = midnightOf(from); t <= to; t = midnightOf(t + 12 * 3600, days)) {
            if (t >= from) ticks.push_back({t, zormon::formatLocalTime(t).substr(0, 10)});
        }
        return ticks;
    }
    // Multiples of the step from the local midnight of the range's start.
    const std::time_t base = midnightOf(from);
    for (std::time_t t = base + (from - base + step - 1) / step * step; t <= to; t += step) {
        std::string clock = zormon::formatLocalTime(t);
        bool midnight = clock.compare(11, 5, "00:00") == 0;
        ticks.push_back({t, midnight && step >= 3600 ? clock.substr(5, 5) : clock.substr(11, 5)});
    }
    return ticks;
}

GraphRange graphRange(const std::string& range, const std::string& day, const std::string& from,
                      const std::string& to, std::time_t now)
{
    GraphRange r;
    if (range == "custom") {
        r.from = readWhen(from);
        r.to = readWhen(to);
        // Each day of the range is a log read whole: a month at most.
        if (r.from != 0 && r.to > r.from && r.to - r.from <= kLongestCustom) {
            r.name = range;
            return r;
        }
        r.problem = "The custom range needs a start before its end, at most 31 days apart.";
    }
    static const std::map<std::string, long> lengths = {
        {"15m", 900}, {"1h", 3600}, {"6h", 6 * 3600}, {"day", 86400}, {"week", 7 * 86400}};
    auto it = lengths.find(range);
    r.name = it == lengths.end() ? "day" : range;
    const long length = it == lengths.end() ? 86400 : it->second;
    std::time_t start = dayStart(day);
    // Today's graph ends now; a past day's at its end.
    r.to = start == 0 || dayName(now) == day ? now : midnightOf(start + 12 * 3600, 1);
    r.from = r.to - length;
    return r;
}

std::vector<Threshold> thresholdsOf(const TriggerForm& t, const std::string& unit)
{
    std::vector<Threshold> out;
    const std::string what = t.valueType == "instantaneous" ? "" : t.valueType + " ";
    auto add = [&](const std::string& v, const std::string& label) {
        zormon::Sample sample;
        if (zormon::parseSample(v, &sample) && sample.isNumber) out.push_back({sample.number, what + label, describeTrigger(t)});
    };
    if (t.kind == "single-value") {
        const char* cmp = t.comparison == "less-than"    ? "below "
                          : t.comparison == "equals"     ? "equals "
                          : t.comparison == "not-equals" ? "differs from "
                                                         : "exceeds ";
        add(t.value, cmp + withUnit(t.value, unit));
    } else if (t.kind == "interval-value") {
        const std::string label = (t.range == "outside" ? "outside " : "inside ") + t.lowValue + " to " +
                                  withUnit(t.highValue, unit);
        add(t.lowValue, label);
        add(t.highValue, label);
    }
    return out;
}

std::vector<Threshold> thresholds(PageContext& c, WebSession& s, const std::string& variable)
{
    std::vector<Threshold> out;
    zor::Expected<std::vector<std::string>> entries = c.table(s);
    if (!entries) return out;
    for (const auto& xml : *entries) {
        EntryForm e;
        if (!readEntry(xml, &e) || e.variable != variable) continue;
        for (const auto& t : e.triggers) {
            for (Threshold& line : thresholdsOf(t, unitOf(variable))) out.push_back(std::move(line));
        }
    }
    return out;
}

std::string svgGraph(const Series& series, const std::vector<Threshold>& lines, const TryResult* tried,
                     const std::string& unit)
{
    const double W = 900, H = 320, L = 80, R = 25, T = 10, B = 30;
    std::vector<std::pair<std::time_t, double>> values;
    for (const auto& p : series.points) {
        zormon::Sample s;
        if (zormon::parseSample(p.value, &s) && s.isNumber) values.emplace_back(p.when, s.number);
    }
    std::vector<double> all;
    for (const auto& v : values) all.push_back(v.second);
    for (const auto& l : lines) all.push_back(l.value);
    double lo = all.empty() ? 0 : *std::min_element(all.begin(), all.end());
    double hi = all.empty() ? 1 : *std::max_element(all.begin(), all.end());
    if (hi - lo < 1e-9) {
        // One value: a band around it rather than a line on the frame.
        double half = std::fabs(lo) > 1e-9 ? std::fabs(lo) * 0.1 : 1;
        lo -= half;
        hi += half;
    }
    std::vector<double> ticks = valueTicks(lo, hi, 6);
    const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
    lo = ticks.front();
    hi = ticks.back();
    std::time_t from = series.from, to = series.to > series.from ? series.to : series.from + 86400;
    auto x = [&](std::time_t t) { return L + (W - L - R) * double(t - from) / double(to - from); };
    auto y = [&](double v) { return T + (H - T - B) * (1 - (v - lo) / (hi - lo)); };
    std::ostringstream o;
    o.precision(6);
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H << "\" viewBox=\"0 0 " << W
      << ' ' << H << "\" id=\"graph\">";
    for (double v : ticks) {
        o << "<line class=\"grid\" x1=\"" << L << "\" x2=\"" << W - R << "\" y1=\"" << y(v) << "\" y2=\"" << y(v)
          << "\" stroke=\"#eee\"/><text class=\"value-tick\" x=\"" << L - 4 << "\" y=\"" << y(v) + 4
          << "\" font-size=\"11\" text-anchor=\"end\">" << h(withUnit(fixed(v, step), unit)) << "</text>";
    }
    for (const TimeTick& t : timeTicks(from, to)) {
        o << "<line x1=\"" << x(t.when) << "\" x2=\"" << x(t.when) << "\" y1=\"" << H - B << "\" y2=\"" << H - B + 4
          << "\" stroke=\"#999\"/><text class=\"time-tick\" x=\"" << x(t.when) << "\" y=\"" << H - 10
          << "\" font-size=\"11\" text-anchor=\"middle\">" << h(t.label) << "</text>";
    }
    o << "<line x1=\"" << L << "\" y1=\"" << H - B << "\" x2=\"" << W - R << "\" y2=\"" << H - B
      << "\" stroke=\"#999\"/><line x1=\"" << L << "\" y1=\"" << T << "\" x2=\"" << L << "\" y2=\"" << H - B
      << "\" stroke=\"#999\"/>";
    for (const auto& l : lines) {
        o << "<g class=\"threshold-line\"><title>" << h(l.detail) << "</title><line class=\"threshold\" x1=\"" << L
          << "\" x2=\"" << W - R << "\" y1=\"" << y(l.value) << "\" y2=\"" << y(l.value)
          << "\"/><text class=\"threshold-label\" x=\"" << W - R - 4 << "\" y=\""
          << (y(l.value) - 4 < T + 11 ? y(l.value) + 13 : y(l.value) - 4)
          << "\" font-size=\"11\" text-anchor=\"end\" fill=\"#080\">" << h(l.label) << "</text></g>";
    }
    if (!values.empty()) {
        o << "<polyline fill=\"none\" stroke=\"#48a\" points=\"";
        for (const auto& v : values) o << x(v.first) << ',' << y(v.second) << ' ';
        o << "\"/>";
    }
    for (const auto& v : values) {
        o << "<circle class=\"pt\" r=\"2.5\" cx=\"" << x(v.first) << "\" cy=\"" << y(v.second) << "\"/>";
    }
    for (const auto& a : series.alerts) {
        // On the line: at the sample nearest the alert in time.
        double at = T;
        auto near = std::min_element(values.begin(), values.end(), [&a](const auto& p, const auto& q) {
            return std::labs(long(p.first - a.when)) < std::labs(long(q.first - a.when));
        });
        if (near != values.end()) at = y(near->second);
        o << "<circle class=\"alert-marker\" r=\"6\" cx=\"" << x(a.when) << "\" cy=\"" << at
          << "\" fill=\"none\" stroke=\"#c00\" stroke-width=\"2\"><title>" << h(a.line) << "</title></circle>";
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

std::string graphPage(PageContext& c, WebSession& s, const Params& p)
{
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> days = listLogs(c.logFolder());
    std::string day = !p("day").empty() ? p("day") : !days.empty() ? days.front() : page::dayName(now);
    std::vector<std::string> names;
    std::string text;
    if (readLog(c.logFolder(), day, &text)) names = sampledNames(text);
    const std::string var = p("var").empty() && !names.empty() ? names.front() : p("var");
    // An older link's span=week still draws a week.
    const std::string asked = !p("range").empty() ? p("range") : p("span") == "week" ? "week" : "day";
    page::GraphRange range = page::graphRange(asked, day, p("from"), p("to"), now);

    std::string choices;
    for (const auto& [value, label] : page::rangeChoices()) choices += page::option(value, label, value == range.name);
    std::string body = "<form method=\"get\" action=\"/graph\"><label>Variable " + page::select("var", names, var) +
                       "</label> <label>Day " + page::dayPicker(c, day) + "</label> <label>Range <select name=\"range\">" +
                       choices + "</select></label> <label>from <input type=\"datetime-local\" name=\"from\" value=\"" +
                       page::h(page::whenField(range.from)) +
                       "\"></label> <label>to <input type=\"datetime-local\" name=\"to\" value=\"" +
                       page::h(page::whenField(range.to)) + "\"></label> <button>Draw</button></form>";
    if (!range.problem.empty()) body += "<p class=\"warn\" id=\"range-problem\">" + page::h(range.problem) + "</p>";
    page::Series series = page::readSeries(c, var, range.from, range.to);
    const std::string unit = page::unitOf(var);
    body += "<p id=\"summary\">" + page::h(var) + ", " + page::h(zormon::formatLocalTime(range.from).substr(0, 16)) +
            " to " + page::h(zormon::formatLocalTime(range.to).substr(0, 16)) + ": " +
            counted(series.points.size(), "sample") + ", " + counted(series.alerts.size(), "alert") +
            (unit.empty() ? "" : ", in " + page::h(unit)) + "</p>" +
            page::svgGraph(series, page::thresholds(c, s, var), nullptr, unit) +
            "<p>Dashed, labelled: thresholds of the triggers on this variable; red rings: alerts (point at one "
            "for its line).</p>";
    return page::layout("Graph", body, &s);
}

} // namespace console
