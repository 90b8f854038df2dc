// What zorhostd and its clients say to each other over the socket, besides
// the request lines and their JSON replies: where the socket is by default,
// the line that opens a connection and the line that reports an error.
//
// A connection goes: the daemon writes one line, {"session":"open",...}
// once the module session is open, or {"error":"..."} when it refuses the
// client (and then closes). After that the client writes request lines
// ("OP KEY [VALUE]", as in a zorhost script) and reads one JSON line per
// request: the line `zorhost --json` prints, or {"error":"..."} for a line
// that is not a request. Blank lines and lines starting with '#' get no
// answer, as in a script.
#pragma once

#include <string>

/// The socket of a zorhostd started without --socket, before the root is applied.
extern const char* const kDefaultSocketPath;

/// kDefaultSocketPath under ZOR_ROOT: where daemon and client meet by default.
std::string defaultSocketPath();

/// {"error":MESSAGE}, without the line feed.
std::string errorLine(const std::string& message);

/// {"session":"open","pid":PID,"version":VERSION}, without the line feed.
std::string sessionOpenLine(long pid, const std::string& version);
