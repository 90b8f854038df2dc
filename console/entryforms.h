// The Entries page's forms: their fields with the problems found beside
// them, and reading them back with the numbers checked. A schedule form
// shows only the fields of its kind (the script hides the others) and the
// reading takes only those: a field of another kind is ignored.
#pragma once

#include "consolepages.h"
#include "entrycheck.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace console {
namespace entryform {

/// Problems by form field ("t_value"); "" holds those of no field shown.
using Problems = std::map<std::string, std::vector<std::string>>;

/// The problems placed at their form fields; any whose field is not among
/// shown go under "".
Problems place(const std::vector<FieldProblem>& problems, const std::set<std::string>& shown);
/// The form fields of the trigger and of the entry forms.
const std::set<std::string>& triggerFieldNames();
const std::set<std::string>& entryFieldNames();

/// The problems no field shows, as a list at the top of a form.
std::string unplaced(const Problems& problems);
/// With typed, the number fields show what was typed rather than the
/// number it was read as.
std::string triggerFields(const TriggerForm& t, const Problems& problems, const Params* typed = nullptr);
std::string scheduleFields(const EntryForm& e, const Problems& problems, const Params* typed = nullptr);
/// A preset picker whose choices each show what the preset's trigger does.
std::string presetChoice(const std::vector<std::pair<std::string, PresetForm>>& presets,
                         const std::set<std::string>& known, const std::string& chosen, const std::string& none);

/// An entry form's variable, log flag and the schedule of the picked kind.
std::vector<FieldProblem> readEntry(const Params& p, EntryForm* e);
std::vector<FieldProblem> readTrigger(const Params& p, TriggerForm* t);

} // namespace entryform
} // namespace console
