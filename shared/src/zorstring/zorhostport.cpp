#include "zorhostport.h"

namespace zor {

Expected<HostPort> parseHostPort(const std::string& text, bool portOptional)
{
    const Error malformed{"expected HOST:PORT, got \"" + text + "\""};
    HostPort parsed;
    std::string port;
    bool hasPort = true;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
            return malformed;
        }
        parsed.host = text.substr(1, close - 1);
        hasPort = close + 1 < text.size();
        port = hasPort ? text.substr(close + 2) : "";
    } else {
        const size_t colon = text.rfind(':');
        // Without brackets, two colons make an IPv6 address, not a port.
        const bool bareAddress = portOptional && colon != std::string::npos && text.find(':') != colon;
        hasPort = colon != std::string::npos && !bareAddress;
        parsed.host = hasPort ? text.substr(0, colon) : text;
        port = hasPort ? text.substr(colon + 1) : "";
    }
    if (!hasPort && !portOptional) {
        return malformed;
    }
    if (parsed.host.empty()) {
        return Error{"no host in \"" + text + "\""};
    }
    if (hasPort) {
        const bool digits =
            !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        const long number = digits ? std::stol(port) : 0;
        if (number < 1 || number > 65535) {
            return Error{"port must be a number from 1 to 65535, got \"" + port + "\""};
        }
        parsed.port = static_cast<int>(number);
    }
    return parsed;
}

std::string formatHostPort(const std::string& host, int port)
{
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace zor
