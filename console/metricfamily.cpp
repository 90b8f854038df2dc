#include "metricfamily.h"

namespace console {

namespace {

/// The help text escapes backslash and line feed, but not quotes.
std::string escapeHelp(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void appendLabelValue(std::string& out, const std::string& text)
{
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
}

} // namespace

std::string escapeLabelValue(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    appendLabelValue(out, text);
    return out;
}

std::string exposition(const std::vector<MetricFamily>& families)
{
    // Written in one pass into one buffer sized beforehand: a large table
    // gives hundreds of thousands of samples, and a temporary string per
    // piece of each would cost more than the text itself.
    size_t size = 0;
    for (const MetricFamily& f : families) {
        size += 2 * f.name.size() + f.help.size() + f.type.size() + 20;
        for (const MetricSample& s : f.samples) {
            size += f.name.size() + s.value.size() + 4;
            for (const auto& [name, value] : s.labels) size += name.size() + value.size() + 4;
        }
    }
    std::string out;
    out.reserve(size + size / 16);
    for (const MetricFamily& f : families) {
        out.append("# HELP ").append(f.name).append(1, ' ').append(escapeHelp(f.help));
        out.append("\n# TYPE ").append(f.name).append(1, ' ').append(f.type).append(1, '\n');
        for (const MetricSample& s : f.samples) {
            out += f.name;
            if (!s.labels.empty()) {
                out += '{';
                for (size_t i = 0; i < s.labels.size(); ++i) {
                    if (i > 0) out += ',';
                    out.append(s.labels[i].first).append("=\"");
                    appendLabelValue(out, s.labels[i].second);
                    out += '"';
                }
                out += '}';
            }
            out.append(1, ' ').append(s.value).append(1, '\n');
        }
    }
    return out;
}

} // namespace console
