// How zorhost prints what a request did: plain text for people, one JSON
// object per line for scripts and tests.
#pragma once

#include "hostsession.h"
#include "request.h"

#include <ostream>
#include <string>

/// Text in which every byte that is not part of a valid UTF-8 sequence is
/// replaced by the character U+00XX of the same value, so that any reply
/// can travel in JSON.
std::string utf8WithInvalidBytesAsLatin1(const std::string& bytes);

/// The JSON line of one request, without the line feed.
std::string jsonLine(const HostRequest& request, const RequestOutcome& outcome);

/// Plain output: the reply and a line feed on out, "result: N" (or the
/// escaped exception) on err.
void printPlain(const RequestOutcome& outcome, std::ostream& out, std::ostream& err);
