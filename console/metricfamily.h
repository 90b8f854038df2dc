// Metrics in the Prometheus text format, built as families: a name, a type,
// a help text and samples with labels. Each family gives its HELP and TYPE
// lines once, however many samples it has (none too), and every label value
// is escaped in one place as it is written.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace console {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

struct MetricSample {
    MetricLabels labels;
    std::string value; ///< as the exposition writes it
};

struct MetricFamily {
    std::string name;
    std::string type; ///< gauge or counter
    std::string help;
    std::vector<MetricSample> samples;

    /// A sample whose value is already written as a number.
    MetricFamily& add(std::string value, MetricLabels labels = {})
    {
        samples.push_back({std::move(labels), std::move(value)});
        return *this;
    }
    MetricFamily& add(const char* value, MetricLabels labels = {}) { return add(std::string(value), std::move(labels)); }
    template <class N, std::enable_if_t<std::is_integral_v<N> && !std::is_same_v<N, bool>, int> = 0>
    MetricFamily& add(N value, MetricLabels labels = {})
    {
        return add(std::to_string(value), std::move(labels));
    }
    /// 1 or 0.
    MetricFamily& add(bool value, MetricLabels labels = {}) { return add(std::string(value ? "1" : "0"), std::move(labels)); }
};

/// A label value as the text format quotes it: backslash, double quote and
/// line feed escaped.
std::string escapeLabelValue(const std::string& text);

/// The families one after the other, in the text format (version 0.0.4).
std::string exposition(const std::vector<MetricFamily>& families);

} // namespace console
