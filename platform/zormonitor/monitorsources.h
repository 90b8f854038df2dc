// Where the monitor thread's values come from: the clock, the machine's own
// readings (kernel files under /proc and /sys, file-system statistics) and
// the variables the administrator defines in variables.conf. Each source sits
// behind a small interface so that tests feed fixtures and play a virtual
// clock instead of reading this machine.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zormon {

/// Wall-clock time in whole seconds since the epoch.
class MonitorClock {
public:
    virtual ~MonitorClock() = default;
    virtual std::time_t now() const = 0;
};

/// The system clock (time()).
class SystemClock : public MonitorClock {
public:
    std::time_t now() const override;
};

/// One reading: true and the raw text in *value, or false (unavailable) and
/// the reason in *value.
using Reader = std::function<bool(std::string* value)>;

/// A variable the thread can sample.
struct VariableDefinition {
    std::string name;
    std::string definition; ///< one line for the variable-configuration key
    Reader read;
};

/// Runs a program without a shell (fork and execv, standard input and error
/// on /dev/null) and takes the first line of its standard output. A program
/// that fails to start, exits other than 0, or is still running after
/// timeoutMs (it is then killed with its process group) gives false and the
/// reason in *line.
bool runProgramFirstLine(const std::vector<std::string>& argv, int timeoutMs, std::string* line);

/// The built-in variables. systemRoot prefixes the kernel's files (/proc,
/// /sys): "" reads this machine, a test gives a folder of fixtures. The
/// network rates divide the byte counters' growth by the seconds between two
/// readings of the clock, so the first reading has no rate yet (unavailable).
std::vector<VariableDefinition> builtinVariables(const std::string& systemRoot, const MonitorClock& clock);

/// Reads variables.conf: one variable a line, '#' starts a comment.
///   NAME program PATH [ARG...]   first line of the program's output
///   NAME file PATH               first line of the file
///   NAME free-space MOUNTPOINT   MiB free to users on that file system
/// Paths are resolved under ZOR_ROOT. A line that cannot be used is skipped
/// and described in *problems; a name defined twice keeps its first line.
std::vector<VariableDefinition> definedVariables(const std::string& confText, int programTimeoutMs,
                                                 std::vector<std::string>* problems);

/// Splits a configuration line at blanks, dropping a '#' comment.
std::vector<std::string> splitConfigLine(const std::string& line);

/// Calls visit(lineNumber, words) for each line of a host file of the
/// monitor thread that holds more than blanks and a comment; lines count
/// from 1.
void forEachConfigLine(const std::string& text,
                       const std::function<void(int lineNumber, const std::vector<std::string>& words)>& visit);

} // namespace zormon
