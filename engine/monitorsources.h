// Where the monitor thread's values come from: the clock, the machine's own
// readings (kernel files under /proc and /sys, file-system statistics) and
// the variables the administrator defines in variables.conf. Each source sits
// behind a small interface so that tests feed fixtures and play a virtual
// clock instead of reading this machine.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

/// Runs a program without a shell (fork and execv, standard input and error
/// on /dev/null) and takes the first line of its standard output. A program
/// that fails to start, exits other than 0, or is still running after
/// timeoutMs (it is then killed with its process group) gives false and the
/// reason in *line. When *cancel becomes true the program is killed as at
/// its timeout (it is looked at every 100 ms at least).
bool runProgramFirstLine(const std::vector<std::string>& argv, int timeoutMs, std::string* line,
                         const std::atomic<bool>* cancel = nullptr);

/// A program variable's runs. A program may take up to its timeout, so it
/// runs on a worker thread of its own and whoever asks for a value never has
/// to wait for it: request() starts a run, or joins the run under way, and
/// result() says later what it gave. One copy of the program runs at a time,
/// whoever asks.
class ProgramSource {
public:
    ProgramSource(std::vector<std::string> argv, int timeoutMs);
    /// Kills a run under way and waits for its worker.
    ~ProgramSource();
    ProgramSource(const ProgramSource&) = delete;
    ProgramSource& operator=(const ProgramSource&) = delete;

    /// Called on the worker each time a run has finished, after its result
    /// is kept; it must not call back into this source.
    void setFinished(std::function<void()> finished);
    /// Starts a run unless one is under way; returns the number of the run
    /// whose result answers this request.
    unsigned long request();
    /// Whether run `ticket` (or a later one) has finished; then true or false
    /// as for a Reader, with the value or the reason in *value.
    bool result(unsigned long ticket, bool* available, std::string* value) const;
    /// A Reader: request() and wait for that run's result.
    bool read(std::string* value);
    /// Kills a run under way (its result says so); later requests run again.
    void cancel();
    const std::vector<std::string>& argv() const { return _argv; }
    int timeoutMs() const { return _timeoutMs; }

private:
    void run(unsigned long ticket);

    const std::vector<std::string> _argv;
    const int _timeoutMs;
    mutable std::mutex _mutex;
    std::condition_variable _done;
    unsigned long _started = 0;
    unsigned long _finished = 0;
    bool _available = false; ///< outcome of run _finished
    std::string _value;
    std::function<void()> _onFinished;
    std::atomic<bool> _cancel{false};
    std::thread _worker;
};

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
std::vector<VariableDefinition> builtinVariables(const std::string& systemRoot, const MonitorClock& clock);

/// Reads variables.conf: one variable a line, '#' starts a comment.
///   NAME program PATH [ARG...]   first line of the program's output
///   NAME file PATH               first line of the file
///   NAME free-space MOUNTPOINT   MiB free to users on that file system
/// Paths are resolved under ZOR_ROOT. A line that cannot be used is skipped
/// and described in *problems; a name defined twice keeps its first line.
/// A file is opened without waiting (O_NONBLOCK): a FIFO without a writer or
/// a device without data gives no value instead of holding up the reader.
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
