// Strict checking of the monitoring configuration documents.
//
// The module's reader is lenient on purpose: it takes the first match,
// ignores what it does not know and falls back to defaults, so a typo such
// as comparison="lower-than" or log="yes" is read as something else without
// a word. The tools around the module use this checker instead: it validates
// a document against the XML Schema of its kind and then checks what a
// schema cannot say (known variables, numeric thresholds, addresses,
// interval bounds), and reports each problem with its place.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace monvalidate {

/// Which document a text or file is.
enum class DocumentKind { monitorConfig, presetTriggers, monitorEntry, actionTrigger };

/// One problem found, with its place; line and column are 1-based, 0 when unknown.
struct Problem {
    std::string file;
    unsigned long line = 0;
    unsigned long column = 0;
    std::string message;
};

/// What a variable's values are. The administrator's own variables (a
/// program's output, a file's first line) may give numbers or text.
enum class VariableValues { text, numbers, either };

/// A known variable's values; a bool says numbers (true) or text (false).
struct VariableKind {
    VariableValues values = VariableValues::either;
    VariableKind() = default;
    VariableKind(bool numbers) : values(numbers ? VariableValues::numbers : VariableValues::text) {}
    VariableKind(VariableValues kind) : values(kind) {}
};

/// Variables the monitor thread knows and what their values are.
/// An empty catalogue skips the checks that need one.
using VariableCatalogue = std::map<std::string, VariableKind>;

/// The kind a monitor thread's definition line gives ("number, MiB: ...",
/// "text: ...", anything else: either).
VariableKind kindFromDefinition(const std::string& definition);

/// Largest file validateFile reads.
constexpr unsigned long long maxDocumentSize = 256ULL * 1024 * 1024;

/// Most problems reported for one document; a last problem says when more were left.
constexpr std::size_t maxProblemsReported = 200;

/// Checks a file; a file that cannot be read is one problem naming the reason.
std::vector<Problem> validateFile(const std::string& path, DocumentKind kind, const VariableCatalogue& variables);

/// Checks a text; sourceName stands for the file in each problem.
std::vector<Problem> validateText(const std::string& text, DocumentKind kind, const VariableCatalogue& variables,
                                  const std::string& sourceName);

/// "FILE:LINE:COLUMN: MESSAGE" (LINE and COLUMN left out when 0).
std::string formatProblem(const Problem& problem);

/// The schema text of a document kind, as built into the library.
const std::string& schemaText(DocumentKind kind);

} // namespace monvalidate
