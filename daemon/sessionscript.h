// A session's script mode, as the socket speaks it (protocol.h): between
// {"command":"script"} and {"command":"script-end"} the daemon runs nothing
// after the first failed request line, though later lines may already wait
// in the socket, and answers each of them with a skipped line.
#pragma once

#include <string>

namespace sessionscript {

struct State {
    bool active = false;
    unsigned long failedLine = 0; ///< the request line that failed; 0: none yet
    unsigned long skipped = 0;
};

/// A line that gets no answer, as parseScript skips it.
bool isBlankOrComment(const std::string& line);

/// The answer to a skipped line; counts it.
std::string skippedLine(unsigned long lineNumber, State& script);

/// Answers {"command":"script"} and {"command":"script-end"}, which belong
/// to the session rather than to the daemon's command handler; false for
/// every other line.
bool answerCommand(const std::string& line, State* script, std::string* answer);

} // namespace sessionscript
