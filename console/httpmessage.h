// The console's plain request and response types, and the decoding of what
// a browser sends in a URL or a form body. Nothing here knows the server
// library, so handlers and their tests use these alone.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace console {

using HttpParams = std::multimap<std::string, std::string>;

struct HttpRequest {
    std::string method; ///< GET (also for HEAD) or POST
    std::string path;   ///< percent-decoded, without the query
    std::vector<std::pair<std::string, std::string>> headers;
    HttpParams query; ///< from the URL
    HttpParams form;  ///< from an application/x-www-form-urlencoded body
    std::string body;
    std::vector<std::string> matches; ///< the route's pattern: the whole path, then its groups
    std::string remoteAddr;           ///< numeric, as getnameinfo writes it

    bool hasHeader(const std::string& name) const;
    /// The first header of that name (any case); "" when there is none.
    std::string header(const std::string& name) const;
    /// A query parameter or else a form field of that name; "" when neither.
    std::string param(const std::string& name) const;
    /// A field of the form body only; "" when there is none.
    std::string formField(const std::string& name) const;
    /// The value of one cookie of the Cookie header; "" when it has none.
    std::string cookie(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body, contentType;

    /// Replaces every header of that name.
    void setHeader(const std::string& name, const std::string& value);
    /// The first header of that name (any case); "" when there is none.
    std::string header(const std::string& name) const;
    void setContent(std::string content, const std::string& type);
    void redirect(const std::string& location); ///< 302 Found
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

/// %XX escapes decoded (and '+' as a space when plusIsSpace); a malformed
/// escape is kept as it is.
std::string percentDecode(const std::string& text, bool plusIsSpace);

/// Decodes application/x-www-form-urlencoded text ('+' is a space, %XX a
/// byte) into out; a malformed escape is kept as it is.
void parseUrlEncoded(const std::string& text, HttpParams* out);

} // namespace console
