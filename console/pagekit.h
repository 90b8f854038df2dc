// What the console's pages share: escaping, the page layout, form widgets,
// reading the entry and trigger forms back, and the graph of a variable's
// samples. Only the page files and the tests include this.
#pragma once

#include "consolepages.h"

#include "monitorlogs.h"
#include "triggertry.h"

#include <ctime>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace console {
namespace page {

/// Text for HTML, escaped.
std::string h(const std::string& text);
/// A query value: every byte but letters, digits and "-._~" percent-encoded.
std::string q(const std::string& text);

/// A whole page; with a session, the navigation, the logout form and the
/// session's flash message (shown once).
std::string layout(const std::string& title, const std::string& body, WebSession* s);
std::string csrfField(const WebSession& s);
std::string option(const std::string& value, const std::string& label, bool selected);
std::string select(const std::string& name, const std::vector<std::string>& values, const std::string& chosen);
/// What a form's request gave, for the flash message.
std::string outcomeText(const std::string& what, const RequestOutcome& o);
std::vector<std::string> variableNames(PageContext& c);
std::set<std::string> knownVariables(PageContext& c);
std::string dayPicker(PageContext& c, const std::string& chosen);

/// The trigger fields of a form, named with prefix t_.
std::string triggerFields(const TriggerForm& t);
/// The schedule fields of an entry form.
std::string scheduleFields(const EntryForm& e);
/// Variable, log flag and schedule of an entry form; triggers are left alone.
void entryFieldsFromForm(const Params& p, EntryForm* e);
TriggerForm triggerFromForm(const Params& p);
std::string presetPicker(const std::vector<std::pair<std::string, PresetForm>>& presets,
                         const std::set<std::string>& known, const std::string& chosen);

/// A variable's samples and alerts over a range of time.
struct Series {
    std::vector<LogPoint> points;
    std::vector<LogAlert> alerts;
    std::time_t from = 0, to = 0;
};

/// The log names of the day and, for a week, the six days before it
/// (oldest first).
std::vector<std::string> spanDays(const std::string& day, bool week);
/// The samples and alerts of the day logs from..to that fall in it.
Series readSeries(PageContext& c, const std::string& variable, std::time_t from, std::time_t to);
/// The whole day, or the week that ends with it.
Series readSeries(PageContext& c, const std::string& variable, const std::string& day, bool week);

/// The unit a built-in variable's samples are in ("%", "MiB"...); "" when
/// it has none or is not a built-in.
std::string unitOf(const std::string& variable);
/// "90 %", or "90" without a unit.
std::string withUnit(const std::string& number, const std::string& unit);
/// Round values (1, 2 or 5 times a power of ten apart), about most of them,
/// from at or below lo to at or above hi.
std::vector<double> valueTicks(double lo, double hi, int most);

struct TimeTick {
    std::time_t when;
    std::string label; ///< HH:MM, MM-DD at a midnight, or YYYY-MM-DD for ticks a day or more apart
};
/// Ticks at round local times (every 1, 5 or 15 minutes, 1, 3 or 6 hours,
/// or days), at most about eight of them.
std::vector<TimeTick> timeTicks(std::time_t from, std::time_t to);

/// The time a graph covers.
struct GraphRange {
    std::time_t from = 0, to = 0;
    std::string name;    ///< 15m, 1h, 6h, day, week or custom
    std::string problem; ///< why custom times were not taken
};
/// 15m, 1h, 6h, day or week ending now when day is today's log, at the end
/// of day otherwise; custom from..to (a browser's date-time fields). An
/// unknown range is a day; a custom one that does not parse or ends before
/// it starts is a day, with a problem.
GraphRange graphRange(const std::string& range, const std::string& day, const std::string& from,
                      const std::string& to, std::time_t now);

/// A threshold line: its value, the label drawn on it ("exceeds 90 %") and
/// the whole trigger.
struct Threshold {
    double value;
    std::string label, detail;
};
std::vector<Threshold> thresholdsOf(const TriggerForm& trigger, const std::string& unit);
/// Thresholds of the session table's triggers on variable.
std::vector<Threshold> thresholds(PageContext& c, WebSession& s, const std::string& variable);
/// The series as SVG, with labelled threshold lines, alerts marked on the
/// line and, when tried is given, its firings marked; values in unit.
std::string svgGraph(const Series& series, const std::vector<Threshold>& lines, const TryResult* tried,
                     const std::string& unit = "");

} // namespace page
} // namespace console
