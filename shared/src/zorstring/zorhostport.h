// "HOST:PORT" and "[IPv6]:PORT" as options and configuration files write an
// address: split and checked here, never resolved (the caller knows whether
// it wants a datagram or a stream address, and when a name may be looked up).
#pragma once

#include "zorexpected.h"

#include <string>

namespace zor {

struct HostPort {
    std::string host; ///< without the brackets of an IPv6 address
    int port = 0;     ///< 1 to 65535; 0 when the port was left out
};

/// Splits "HOST:PORT" or "[IPv6]:PORT". The port must be a number from 1 to
/// 65535 and the host must not be empty. With portOptional, "HOST" and
/// "[IPv6]" are taken too (port 0), and so is a bare IPv6 address, whose
/// colons then name no port. The reasons name the text as given:
///   expected HOST:PORT, got "TEXT"
///   no host in "TEXT"
///   port must be a number from 1 to 65535, got "PORT"
Expected<HostPort> parseHostPort(const std::string& text, bool portOptional = false);

/// "HOST:PORT", with the host in brackets when it holds a colon (IPv6).
std::string formatHostPort(const std::string& host, int port);

} // namespace zor
