// Services the host process provides to every module: its log stream and
// two global switches.
#pragma once

#include <ostream>

/// The host log stream. Module lines start with the tag "monitor".
extern std::ostream zor_logstream;
/// The host's global debug level; settable through a key.
extern int zorGlobalDebugLevel;
/// Non-zero: diagnostics go to the system log; zero: to standard error.
extern int zorGlobalUseSyslog;
