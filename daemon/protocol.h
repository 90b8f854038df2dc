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
//
// A line whose first character is '{' is a daemon command instead: a JSON
// object {"command":NAME,...} that the daemon answers itself with one JSON
// line. It never reaches the module and never waits for another session's
// request. The commands, with their fields and replies:
//
//   {"command":"alerts"}                        {"alerts":[{...},...]}, firing first
//   {"command":"silences"}                      {"silences":[{...},...]}, in force now
//   {"command":"silence-add","matcher":M,       {"silence":{...}}; M is "VARIABLE" or
//    "for":DURATION,"comment":TEXT}              "VARIABLE CONDITION", DURATION as "30m",
//                                                "2h", "1h30m" or "1d", TEXT not empty
//   {"command":"silence-remove","id":ID}        {"removed":ID}
//   {"command":"ack","alert":M}                 {"acknowledged":NAME}, NAME the alert's
//                                                whole name ("VARIABLE CONDITION")
//
// Two commands belong to the session itself and are answered even without a
// monitor thread: they mark the lines between them as one script, which a
// client may send without waiting for each reply.
//
//   {"command":"script"}                        {"script":"started"}
//   {"command":"script-end"}                    {"script":"ended","skipped":N}
//
// In a script every line is answered as outside one until a request fails
// (an error line, an escaped exception, a host error, no result or a
// negative one). From then on each request line of the script is answered
// {"skipped":"request line N was not run: request line M of the script
// failed"} and never reaches the module, so nothing after the failure takes
// effect, however many lines were already on their way. Daemon commands in
// between are answered as ever. A script inside a script and an end without
// one are answered {"error":"..."}.
//
// The fields of an alert and of a silence are those of the console's alert
// pages. A silence's author and an acknowledgement's are the user the
// connection's peer runs as ("uid N" when the system has no name for it).
// Every command that cannot be done (a line that is not a JSON object, an
// unknown command, a missing or empty field, a duration that does not read,
// an unknown silence, an alert that is not firing) is answered
// {"error":"..."}, saying why; a daemon without a monitor thread answers every
// command {"error":"this daemon runs no monitor thread"}.
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
