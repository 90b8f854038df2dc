#include "consoleauth.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace console {

bool checkPassword(const std::string& usersFile, const std::string& name, const std::string& password)
{
    if (name.empty() || name.find(':') != std::string::npos) {
        return false;
    }
    std::ifstream in(usersFile);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos || line.compare(0, colon, name) != 0 || colon != name.size()) {
            continue;
        }
        std::string hash = line.substr(colon + 1);
        if (hash.empty() || hash[0] != '$') {
            return false; // a locked or malformed account
        }
        crypt_data data{};
        const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
        bool ok = computed != nullptr && computed[0] != '*' && sameSecret(computed, hash);
        explicit_bzero(&data, sizeof data);
        return ok;
    }
    return false;
}

std::string LoginLimiter::key(const std::string& user, const std::string& address)
{
    // A name comes from the client: a long one is cut, it names nobody.
    return address + '\n' + user.substr(0, 256);
}

bool LoginLimiter::blocked(const std::string& user, const std::string& address)
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _records.find(key(user, address));
    if (it == _records.end()) {
        return false;
    }
    if (std::chrono::steady_clock::now() - it->second.last >= _window) {
        _records.erase(it);
        return false;
    }
    return it->second.failures >= _limit;
}

void LoginLimiter::failed(const std::string& user, const std::string& address)
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto now = std::chrono::steady_clock::now();
    // Old records go, so that a stream of names or addresses cannot grow
    // the table; if it is full of recent ones, the stalest goes.
    for (auto it = _records.begin(); it != _records.end();) {
        it = now - it->second.last >= _window ? _records.erase(it) : std::next(it);
    }
    std::string k = key(user, address);
    if (_records.size() >= _maxRecords && _records.count(k) == 0) {
        auto stalest = std::min_element(_records.begin(), _records.end(),
                                        [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
        if (stalest != _records.end()) {
            _records.erase(stalest);
        }
    }
    Record& r = _records[k];
    ++r.failures;
    r.last = now;
}

void LoginLimiter::succeeded(const std::string& user, const std::string& address)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _records.erase(key(user, address));
}

bool parseCidr(const std::string& text, Cidr* out)
{
    std::string address = text;
    int prefix = -1;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        address = text.substr(0, slash);
        std::string p = text.substr(slash + 1);
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        prefix = std::stoi(p);
    }
    Cidr c;
    if (inet_pton(AF_INET, address.c_str(), c.bytes) == 1) {
        c.family = AF_INET;
        c.prefix = prefix < 0 ? 32 : prefix;
        if (c.prefix > 32) return false;
    } else if (inet_pton(AF_INET6, address.c_str(), c.bytes) == 1) {
        c.family = AF_INET6;
        c.prefix = prefix < 0 ? 128 : prefix;
        if (c.prefix > 128) return false;
    } else {
        return false;
    }
    *out = c;
    return true;
}

zor::Expected<std::vector<Cidr>> parseCidrList(const std::string& text)
{
    std::vector<Cidr> ranges;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        Cidr c;
        if (!parseCidr(item, &c)) {
            return zor::Error{"not an address range: '" + item + "'"};
        }
        ranges.push_back(c);
        if (comma == std::string::npos) {
            return ranges;
        }
        start = comma + 1;
    }
}

bool addressAllowed(const std::string& address, const std::vector<Cidr>& ranges)
{
    Cidr peer;
    if (!parseCidr(address, &peer)) {
        return false;
    }
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (peer.family == AF_INET6 && std::memcmp(peer.bytes, mapped, 12) == 0) {
        uint8_t v4[4];
        std::memcpy(v4, peer.bytes + 12, 4);
        std::memset(peer.bytes, 0, 16);
        std::memcpy(peer.bytes, v4, 4);
        peer.family = AF_INET;
    }
    for (const Cidr& r : ranges) {
        if (r.family != peer.family) {
            continue;
        }
        int bits = r.prefix;
        bool match = true;
        for (int i = 0; bits > 0 && match; ++i, bits -= 8) {
            uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
            match = (r.bytes[i] & mask) == (peer.bytes[i] & mask);
        }
        if (match) {
            return true;
        }
    }
    return false;
}

std::string randomToken(size_t bytes)
{
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("no random bytes for a session token");
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

bool sameSecret(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

} // namespace console
