// Where the monitor thread's values come from: the built-in readings and the
// definitions of variables.conf (variablecatalogue.h), made into readers,
// with the runs of program variables. Each source sits behind a small
// interface so that tests feed fixtures and play a virtual clock instead of
// reading this machine.
#pragma once

#include "spawn.h"
#include "variablecatalogue.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zormon {

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

/// The variables of variables.conf (parseVariablesConf) as readers, their
/// paths resolved under ZOR_ROOT. A line that cannot be used is skipped
/// and described in *problems; a name defined twice keeps its first line.
/// A file is opened without waiting (O_NONBLOCK): a FIFO without a writer or
/// a device without data gives no value instead of holding up the reader.
std::vector<VariableDefinition> definedVariables(const std::string& confText, int programTimeoutMs,
                                                 std::vector<std::string>* problems);

} // namespace zormon
