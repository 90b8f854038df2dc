// The checks of `zorhost validate` applied to what a form or an API request
// would put into the configuration store, before it is sent, with each
// problem tied to the field it is about.
#pragma once

#include "configvalidator.h"

#include <string>
#include <utility>
#include <vector>

namespace zormon {
class MonitorThread;
}

namespace console {

/// One problem of a text: field is the attribute or element of the
/// configuration format it is about ("value", "email", "seconds"), empty
/// when the validator's message names none.
struct FieldProblem {
    std::string field;
    std::string message;
};

/// The variables the monitor thread knows, as the validator takes them.
monvalidate::VariableCatalogue catalogueOf(zormon::MonitorThread& thread);

/// The problems `zorhost validate` finds in one monitor-entry or
/// action-trigger text.
std::vector<FieldProblem> checkText(const std::string& xml, monvalidate::DocumentKind kind,
                                    const monvalidate::VariableCatalogue& variables);

/// The field a validator message is about (see FieldProblem).
std::string fieldOf(const std::string& message);

/// The form field that shows a configuration field ("value" -> "t_value").
std::string formFieldOf(const std::string& field);

/// Of (field, text) pairs, the texts that are not whole numbers; an empty
/// text is taken as left out. The model carries only numbers there, so such
/// a text never reaches the validator and is refused here.
std::vector<FieldProblem> wholeNumberFields(const std::vector<std::pair<std::string, std::string>>& fields);

} // namespace console
