// The one way the monitor thread starts a program: a variable's program and
// the shutdown and drive power-off commands of actions.conf all run here, so
// they share what a threaded host needs (nothing but async-signal-safe calls
// between fork and exec, no descriptor of the host leaking in, a process
// group to kill at the timeout).
#pragma once

#include "zorexpected.h"

#include <atomic>
#include <string>
#include <vector>

namespace zormon {

/// Runs a program without a shell (fork and execv, standard input and error
/// on /dev/null) and gives the first line of its standard output. A program
/// that fails to start, exits other than 0, or is still running after
/// timeoutMs (it is then killed with its process group) gives the reason
/// instead. When *cancel becomes true the program is killed as at its
/// timeout (it is looked at every 100 ms at least).
zor::Expected<std::string> runProgramFirstLine(const std::vector<std::string>& argv, int timeoutMs,
                                               const std::atomic<bool>* cancel = nullptr);

} // namespace zormon
