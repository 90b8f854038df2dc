// Collects the figures of one benchmark run and prints them as the ratio
// table: every ratio is taken between figures of the same run, so the noise
// of a shared machine hits both sides alike.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace zorbench {

/// One benchmark's measurements: seconds per iteration of every repetition,
/// and its counters (from the last report).
struct Figure {
    std::vector<double> seconds;
    std::map<std::string, double> counters;
    std::string error;
    /// The library's median, when only aggregates were reported; negative otherwise.
    double aggregateMedian = -1.0;
    /// Median of the repetitions; negative when nothing was measured.
    double median() const;
};

/// Console output as usual, and every figure kept by benchmark name.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& reports) override;
    const std::map<std::string, Figure>& figures() const { return _figures; }

private:
    std::map<std::string, Figure> _figures;
};

/// The three table sizes of the run, smallest first.
struct TableSizes {
    std::size_t small = 0;
    std::size_t middle = 0;
    std::size_t large = 0;
};

/// Prints the ratio table with each target and whether it is met, then the
/// absolute figures for orientation. Returns the number of targets not met.
int printRatioTable(std::ostream& out, const std::map<std::string, Figure>& figures, const TableSizes& sizes,
                    std::size_t logBytes);

/// Names under which the suite registers its benchmarks.
std::string benchName(const std::string& what, std::size_t entries);

} // namespace zorbench
