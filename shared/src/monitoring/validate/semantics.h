// The checks that follow a clean schema pass: what a schema cannot say, and
// what the module or its monitor thread would quietly take otherwise.
#pragma once

#include "configvalidator.h"
#include "elements.h"

#include <vector>

namespace monvalidate {

/// The checks for the element just opened, the innermost of open.
void checkElementStart(const std::vector<ElementRecord>& open, const VariableCatalogue& variables, ProblemSink& sink);
/// The checks for an element about to close.
void checkElementEnd(const ElementRecord& element, ProblemSink& sink);

} // namespace monvalidate
