// A minimal HTTP/1.1 client for the alert managers: plain TCP (no TLS), one
// request a connection ("Connection: close"), every step bounded by one
// deadline so that a silent peer costs at most the timeout. It runs on the
// alert pusher's worker, never on the sampling path.
#pragma once

#include "zorexpected.h"

#include <string>

namespace zormon {

/// Where "http://HOST:PORT[/PREFIX]" points. HOST may be a name, an IPv4
/// literal or an IPv6 literal in brackets (kept here without them).
struct HttpTarget {
    std::string host;
    int port = 0;
    std::string prefix; ///< "" or "/a/b", never ending with '/'
};

/// Reads a base URL; https and anything beyond a path prefix are refused.
zor::Expected<HttpTarget> parseHttpUrl(const std::string& url);

/// What the server answered.
struct HttpReply {
    int status = 0;
    std::string body; ///< de-chunked; at most 1 MiB is kept
};

/// One request (method "GET" or "POST") of base URL + path; body and
/// contentType are sent only when body is not empty or the method is POST.
/// Fails on a bad URL, a name that does not resolve, a refused connection,
/// a connection closed before the status line, or when timeoutMs elapses
/// (connect and the whole exchange together). Name resolution is not
/// bounded by the timeout; literal addresses need none.
zor::Expected<HttpReply> httpRequest(const std::string& method, const std::string& url, const std::string& path,
                                     const std::string& body, const std::string& contentType, int timeoutMs);

/// A POST; the status code of the reply, whatever it is.
zor::Expected<int> httpPost(const std::string& url, const std::string& path, const std::string& body,
                            const std::string& contentType, int timeoutMs);

} // namespace zormon
