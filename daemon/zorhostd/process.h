// What zorhostd does as a process rather than as a server: its log file
// (reopened on SIGHUP), standard error joining the log once it serves, going
// into the background with the start's outcome reported back to the
// starting process, and the signals the main loop takes in.
#pragma once

#include <string>

namespace zorhostd {

/// Sends the host log stream to path (appending). False when it cannot be opened.
bool openLogFile(const std::string& path);
/// From now on standard error goes to the log file too (when there is one).
void stderrToLog();
/// SIGHUP: the rotated log file is closed and a new one made under its name.
void reopenLog();
/// Hands the host log stream back to standard error.
void closeLog();

/// Goes into the background: the caller returns in a grandchild that is no
/// session leader, while the starting process waits for the start's outcome
/// (reportStart) and exits with it. False when fork or pipe failed.
bool daemonize();
/// Tells the starting process how the start went (once; nothing in the
/// foreground), and detaches standard input and output from the terminal
/// after a good start.
void reportStart(unsigned char code);

/// Blocks SIGTERM, SIGINT and SIGHUP in every thread to come and returns a
/// signalfd that takes them in; -1 when it cannot be made.
int takeInSignals();

} // namespace zorhostd
