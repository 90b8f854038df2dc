// Who may use the console: the users file (lines NAME:HASH, the hash in
// crypt(3) form, e.g. from `mkpasswd -m yescrypt`), a limit on failed
// logins per user and client address, and the address ranges that may read the
// metrics without a login.
#pragma once

#include "zorexpected.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace console {

/// True when the users file has NAME with a hash that password matches.
/// The file is read at every login, so edits take effect at once.
bool checkPassword(const std::string& usersFile, const std::string& name, const std::string& password);

/// Failed logins per user name and client address: after `limit` failures
/// within the window, further attempts at that name from that address are
/// refused until the window has passed since the last failure. Keyed by
/// both, so that one client guessing at a name neither locks that user out
/// elsewhere nor locks out other users of the same address (all local
/// users share the loopback address). The table holds at most maxRecords;
/// when full, the record idle longest makes room.
class LoginLimiter {
public:
    LoginLimiter(unsigned limit, std::chrono::seconds window, size_t maxRecords = 10000)
        : _limit(limit), _window(window), _maxRecords(maxRecords)
    {
    }
    bool blocked(const std::string& user, const std::string& address);
    void failed(const std::string& user, const std::string& address);
    void succeeded(const std::string& user, const std::string& address);

private:
    struct Record {
        unsigned failures = 0;
        std::chrono::steady_clock::time_point last;
    };
    static std::string key(const std::string& user, const std::string& address);
    std::mutex _mutex;
    unsigned _limit;
    std::chrono::seconds _window;
    size_t _maxRecords;
    std::map<std::string, Record> _records;
};

/// An IPv4 or IPv6 address range.
struct Cidr {
    int family = 0; ///< AF_INET or AF_INET6
    uint8_t bytes[16] = {};
    int prefix = 0;
};

/// Reads "A.B.C.D/N", "X::Y/N" or a single address; false when malformed.
bool parseCidr(const std::string& text, Cidr* out);
/// Reads a comma-separated list; the error names the bad item.
zor::Expected<std::vector<Cidr>> parseCidrList(const std::string& text);
/// True when address (as a peer address is written) lies in one of ranges;
/// an IPv4 address mapped into IPv6 counts as IPv4.
bool addressAllowed(const std::string& address, const std::vector<Cidr>& ranges);

/// Random bytes as hex, for session ids and tokens.
std::string randomToken(size_t bytes = 24);
/// Compares two secrets in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b);

} // namespace console
