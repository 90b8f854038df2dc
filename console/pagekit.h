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

/// A variable's samples and alerts over a span of days.
struct Series {
    std::vector<LogPoint> points;
    std::vector<LogAlert> alerts;
    std::time_t from = 0, to = 0;
};

/// The log names of the day and, for a week, the six days before it
/// (oldest first).
std::vector<std::string> spanDays(const std::string& day, bool week);
Series readSeries(PageContext& c, const std::string& variable, const std::string& day, bool week);
/// Thresholds of the session table's triggers on variable.
std::vector<std::pair<double, std::string>> thresholds(PageContext& c, WebSession& s, const std::string& variable);
/// The series as SVG, with threshold lines and, when tried is given, its
/// firings marked.
std::string svgGraph(const Series& series, const std::vector<std::pair<double, std::string>>& lines,
                     const TryResult* tried);

} // namespace page
} // namespace console
