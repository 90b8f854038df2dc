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

/// Whether bytes are valid UTF-8 throughout.
bool isValidUtf8(const std::string& bytes);

/// Base64 (RFC 4648, with padding) of bytes, and back; decoding gives false
/// for a text that is not base64.
std::string base64Encode(const std::string& bytes);
bool base64Decode(const std::string& text, std::string* bytes);

/// The JSON line of one request, without the line feed. With rawReply, a
/// reply that is not valid UTF-8 also travels exactly as "replyBytes"
/// (base64): the "reply" field alone cannot tell a byte 0xE9 from the
/// character U+00E9, and zorhostd's clients must print the very bytes.
/// Such a line also carries "dirty", the session's uncommitted state, which
/// a client needs for its exit status and zorhost's own output leaves out.
std::string jsonLine(const HostRequest& request, const RequestOutcome& outcome, bool rawReply = false);

/// Plain output: the reply and a line feed on out, "result: N" (or the
/// escaped exception) on err.
void printPlain(const RequestOutcome& outcome, std::ostream& out, std::ostream& err);
