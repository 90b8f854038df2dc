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

} // namespace

std::string escapeLabelValue(const std::string& text)
{
    std::string out;
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
    return out;
}

std::string exposition(const std::vector<MetricFamily>& families)
{
    std::string out;
    for (const MetricFamily& f : families) {
        out += "# HELP " + f.name + ' ' + escapeHelp(f.help) + "\n# TYPE " + f.name + ' ' + f.type + '\n';
        for (const MetricSample& s : f.samples) {
            out += f.name;
            if (!s.labels.empty()) {
                out += '{';
                for (size_t i = 0; i < s.labels.size(); ++i) {
                    out += (i ? ",": "") + s.labels[i].first + "=\"" + escapeLabelValue(s.labels[i].second) + '"';
                }
                out += '}';
            }
            out += ' ' + s.value + '\n';
        }
    }
    return out;
}

} // namespace console
