// The variables the monitor thread knows without running anything of its
// own: the built-in readings of this machine (kernel files under /proc and
// /sys, file-system statistics) and what variables.conf defines, as text.
// No thread, no configuration model, no host: the stand-in host library
// answers its variable calls from here, and zorhost's validator asks it
// which variables exist, so that all three agree on names and readings.
#pragma once

#include <ctime>
#include <cstddef>
#include <functional>
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
/// the reason in *value. A reader keeps the caller's buffer, which matters
/// at thousands of samples a second.
using Reader = std::function<bool(std::string* value)>;

/// A program variable's runs (monitorsources.h); only the monitor thread
/// makes them.
class ProgramSource;

/// A variable the thread can sample.
struct VariableDefinition {
    std::string name;
    std::string definition; ///< one line for the variable-configuration key
    Reader read;            ///< may wait for a program: the sampling thread uses `program` instead
    /// Set for a program variable: its runs, asked for without waiting.
    std::shared_ptr<ProgramSource> program = nullptr;
};

/// The built-in variables. systemRoot prefixes the kernel's files (/proc,
/// /sys): "" reads this machine, a test gives a folder of fixtures. The
/// network rates divide the byte counters' growth by the seconds between two
/// readings of the clock, so the first reading has no rate yet (unavailable).
/// The clock must outlive the readers.
std::vector<VariableDefinition> builtinVariables(const std::string& systemRoot, const MonitorClock& clock);

/// How many of builtinVariables (the first ones) the appliance's host
/// library answers for itself: each is read live on request, with no
/// reading before it to compare against.
constexpr size_t kHostLibraryVariables = 6;

/// The first line of a file, at most 4096 bytes, opened without waiting
/// (O_NONBLOCK): a FIFO without a writer or a device without data gives
/// false and says so instead of holding up the reader.
bool readFirstLine(const std::string& path, std::string* line);
/// MiB free to users on the file system of path.
bool readFreeSpace(const std::string& path, std::string* value);

/// Splits a configuration line at blanks, dropping a '#' comment.
std::vector<std::string> splitConfigLine(const std::string& line);

/// Calls visit(lineNumber, words) for each line of a host file of the
/// monitor thread that holds more than blanks and a comment; lines count
/// from 1.
void forEachConfigLine(const std::string& text,
                       const std::function<void(int lineNumber, const std::vector<std::string>& words)>& visit);

/// One usable line of variables.conf, not yet made into a reader.
struct VariableDeclaration {
    enum class Kind { program, file, freeSpace };
    std::string name;
    Kind kind = Kind::file;
    /// The program and its arguments, or the one path, as written (not yet
    /// resolved under ZOR_ROOT).
    std::vector<std::string> words;
    std::string definition; ///< as the variable-configuration key says it
};

/// Reads variables.conf: one variable a line, '#' starts a comment.
///   NAME program PATH [ARG...]   first line of the program's output
///   NAME file PATH               first line of the file
///   NAME free-space MOUNTPOINT   MiB free to users on that file system
/// A line that cannot be used is skipped and described in *problems; a name
/// defined twice keeps its first line.
std::vector<VariableDeclaration> parseVariablesConf(const std::string& confText, std::vector<std::string>* problems);

} // namespace zormon
