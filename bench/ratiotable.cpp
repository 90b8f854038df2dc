#include "ratiotable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace zorbench {

double Figure::median() const
{
    if (seconds.empty()) {
        return aggregateMedian;
    }
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
}

void CollectingReporter::ReportRuns(const std::vector<Run>& reports)
{
    ConsoleReporter::ReportRuns(reports);
    // Repetitions come either one by one (their median is taken here) or, when
    // only aggregates are reported, as the library's median.
    for (const Run& run : reports) {
        Figure& figure = _figures[run.run_name.function_name];
        if (run.error_occurred) {
            figure.error = run.error_message;
            continue;
        }
        const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        if (run.run_type == Run::RT_Iteration) {
            figure.seconds.push_back(seconds);
        } else if (run.aggregate_name == "median") {
            figure.aggregateMedian = seconds;
        } else {
            continue;
        }
        for (const auto& counter : run.counters) {
            figure.counters[counter.first] = counter.second.value;
        }
    }
}

std::string benchName(const std::string& what, std::size_t entries) { return what + "/" + std::to_string(entries); }

namespace {

std::string number(double value, int decimals = 2)
{
    if (!(value >= 0.0) || std::isinf(value)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string duration(double seconds)
{
    if (!(seconds >= 0.0)) {
        return "n/a";
    }
    char text[64];
    if (seconds >= 1.0) {
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    } else if (seconds >= 1e-3) {
        std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
    }
    return text;
}

std::string count(std::size_t n)
{
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

class Table {
public:
    Table(const std::map<std::string, Figure>& figures, const TableSizes& sizes) : _figures(figures), _sizes(sizes)
    {
    }

    double time(const std::string& what, std::size_t entries) const { return time(benchName(what, entries)); }
    double time(const std::string& name) const
    {
        auto found = _figures.find(name);
        return found != _figures.end() && found->second.error.empty() ? found->second.median() : -1.0;
    }
    double counter(const std::string& name, const std::string& key) const
    {
        auto found = _figures.find(name);
        if (found == _figures.end()) {
            return -1.0;
        }
        auto value = found->second.counters.find(key);
        return value != found->second.counters.end() ? value->second : -1.0;
    }

    static double ratio(double top, double bottom) { return top >= 0.0 && bottom > 0.0 ? top / bottom : -1.0; }

    const TableSizes& sizes() const { return _sizes; }

private:
    const std::map<std::string, Figure>& _figures;
    TableSizes _sizes;
};

enum class Bound { atMost, atLeast, none };

struct Verdict {
    int notMet = 0;
    int unmeasured = 0;
};

std::string judge(const std::vector<double>& values, Bound bound, double limit, Verdict& verdict)
{
    if (bound == Bound::none) {
        return "info";
    }
    for (double value : values) {
        if (!(value >= 0.0)) {
            ++verdict.unmeasured;
            return "not measured";
        }
    }
    for (double value : values) {
        if ((bound == Bound::atMost && value > limit) || (bound == Bound::atLeast && value < limit)) {
            ++verdict.notMet;
            return "NOT MET";
        }
    }
    return "met";
}

std::string target(Bound bound, double limit, const char* unit = "")
{
    if (bound == Bound::none) {
        return "-";
    }
    return std::string(bound == Bound::atMost ? "<= " : ">= ") + number(limit, limit < 10 ? 1 : 0) + unit;
}

} // namespace

int printRatioTable(std::ostream& out, const std::map<std::string, Figure>& figures, const TableSizes& sizes,
                    std::size_t logBytes)
{
    Table t(figures, sizes);
    const std::size_t S = sizes.small;
    const std::size_t M = sizes.middle;
    const std::size_t L = sizes.large;
    Verdict verdict;

    out << "\n## Ratios (medians of this run; " << count(S) << " / " << count(M) << " / " << count(L)
        << " entries)\n\n";
    out << "| figure | " << count(S) << " | " << count(M) << " | " << count(L) << " | target | verdict |\n";
    out << "|---|---|---|---|---|---|\n";

    // Per-size ratios: request against its XML floor, and memory per byte.
    auto perSize = [&](const std::string& label, const std::function<double(std::size_t)>& value, Bound bound,
                       double limit) {
        std::vector<double> values = {value(S), value(M), value(L)};
        out << "| " << label << " | " << number(values[0]) << " | " << number(values[1]) << " | "
            << number(values[2]) << " | " << target(bound, limit) << " | " << judge(values, bound, limit, verdict)
            << " |\n";
    };
    perSize("get entry / plain writer of the same bytes", [&](std::size_t n) {
        return Table::ratio(t.time("entry-get", n), t.time("floor-plain-write-entry", n));
    }, Bound::atMost, 3.0);
    perSize("set entry / (bare SAX2 parse + plain writer)", [&](std::size_t n) {
        return Table::ratio(t.time("entry-set", n),
                            t.time("floor-sax-parse-entry", n) + t.time("floor-plain-write-entry", n));
    }, Bound::atMost, 2.0);
    perSize("get trigger / generate", [&](std::size_t n) {
        return Table::ratio(t.time("trigger-get", n), t.time("floor-generate-trigger", n));
    }, Bound::none, 0);
    perSize("set trigger / (parse + generate)", [&](std::size_t n) {
        return Table::ratio(t.time("trigger-set", n),
                            t.time("floor-parse-trigger", n) + t.time("floor-generate-trigger", n));
    }, Bound::none, 0);
    // Whole-file figures are judged on the largest table, where the fixed
    // costs of a session start or of starting a program no longer count.
    auto atLarge = [&](const std::string& label, const std::function<double(std::size_t)>& value, double limit) {
        out << "| " << label << " (judged at " << count(L) << ") | " << number(value(S)) << " | " << number(value(M))
            << " | " << number(value(L)) << " | " << target(Bound::atMost, limit) << " | "
            << judge({value(L)}, Bound::atMost, limit, verdict) << " |\n";
    };
    atLarge("load / xmllint --noout", [&](std::size_t n) {
        return Table::ratio(t.time("load", n), t.time("floor-xmllint", n));
    }, 1.0);
    atLarge("load / bare SAX2 scan", [&](std::size_t n) {
        return Table::ratio(t.time("load", n), t.time("floor-sax-scan", n));
    }, 2.5);
    atLarge("commit / (cp + fsync)", [&](std::size_t n) {
        return Table::ratio(t.time("commit", n), t.time("floor-cp-fsync", n));
    }, 3.0);
    atLarge("peak memory while loading / byte of Monitor.cfg", [&](std::size_t n) {
        return t.counter(benchName("load", n), "peak_per_cfg_byte");
    }, 2.0);

    // Single figures: growth with the table and the log key.
    auto single = [&](const std::string& label, double value, Bound bound, double limit, const char* unit = "") {
        out << "| " << label << " | | | " << number(value) << unit << " | " << target(bound, limit, unit) << " | "
            << judge({value}, bound, limit, verdict) << " |\n";
    };
    const std::string growth = " " + count(L) + " / " + count(S);
    for (const char* what : {"entry-get", "entry-set", "entry-add", "trigger-get", "trigger-set", "trigger-add"}) {
        single(std::string(what) + growth, Table::ratio(t.time(what, L), t.time(what, S)), Bound::atMost, 1.2);
    }
    for (const char* what : {"trigger-del", "entry-count", "trigger-count"}) {
        single(std::string(what) + growth, Table::ratio(t.time(what, L), t.time(what, S)), Bound::none, 0);
    }
    const std::string linear = " " + count(L) + " / " + count(M);
    const double linearLimit = 1.2 * static_cast<double>(L) / static_cast<double>(M > 0 ? M : 1);
    single("load (session start)" + linear, Table::ratio(t.time("load", L), t.time("load", M)), Bound::atMost,
           linearLimit);
    single("commit" + linear, Table::ratio(t.time("commit", L), t.time("commit", M)), Bound::atMost, linearLimit);
    single("log key / cat throughput, " + number(static_cast<double>(logBytes) / (1024.0 * 1024.0), 0) + " MiB",
           Table::ratio(t.time("log-cat"), t.time("log-key")), Bound::atLeast, 0.8);
    double deleteFirst = t.time("entry-del0", L);
    single("delete entry 0 at " + count(L) + " entries", deleteFirst >= 0 ? deleteFirst * 1e3 : -1.0, Bound::atMost,
           2.0, " ms");

    out << "\n## Absolute figures (median time per request or operation; for orientation only)\n\n";
    out << "| operation | " << count(S) << " | " << count(M) << " | " << count(L) << " |\n";
    out << "|---|---|---|---|\n";
    for (const char* what :
         {"entry-count", "entry-get", "entry-set", "entry-add", "entry-del0", "trigger-count", "trigger-get",
          "trigger-set", "trigger-add", "trigger-del", "floor-generate-entry", "floor-parse-entry",
          "floor-generate-trigger", "floor-parse-trigger", "floor-plain-write-entry", "floor-sax-parse-entry", "load",
          "floor-xmllint", "floor-sax-scan", "commit", "floor-cp-fsync"}) {
        out << "| " << what << " | " << duration(t.time(what, S)) << " | " << duration(t.time(what, M)) << " | "
            << duration(t.time(what, L)) << " |\n";
    }
    out << "| Monitor.cfg size | " << number(t.counter(benchName("load", S), "cfg_bytes") / 1e6, 2) << " MB | "
        << number(t.counter(benchName("load", M), "cfg_bytes") / 1e6, 2) << " MB | "
        << number(t.counter(benchName("load", L), "cfg_bytes") / 1e6, 2) << " MB |\n";
    out << "| peak memory while loading | " << number(t.counter(benchName("load", S), "peak_bytes") / 1e6, 1)
        << " MB | " << number(t.counter(benchName("load", M), "peak_bytes") / 1e6, 1) << " MB | "
        << number(t.counter(benchName("load", L), "peak_bytes") / 1e6, 1) << " MB |\n";
    out << "| log key, whole log | " << duration(t.time("log-key")) << " | | |\n";
    out << "| cat of the same log | " << duration(t.time("log-cat")) << " | | |\n";

    int errors = 0;
    for (const auto& figure : figures) {
        if (!figure.second.error.empty()) {
            if (errors++ == 0) {
                out << "\nNot measured:\n";
            }
            out << "- " << figure.first << ": " << figure.second.error << "\n";
        }
    }
    out << "\nTargets not met: " << verdict.notMet << "; not measured: " << verdict.unmeasured << "\n";
    return verdict.notMet;
}

} // namespace zorbench
