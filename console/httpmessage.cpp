#include "httpmessage.h"

#include <strings.h>

namespace console {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string percentDecode(const std::string& text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+' && plusIsSpace) {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

void parseUrlEncoded(const std::string& text, HttpParams* out)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string part = text.substr(start, end - start);
        if (!part.empty()) {
            size_t equals = part.find('=');
            std::string name = part.substr(0, equals);
            std::string value = equals == std::string::npos ? "" : part.substr(equals + 1);
            out->emplace(percentDecode(name, true), percentDecode(value, true));
        }
        start = end + 1;
    }
}

bool HttpRequest::hasHeader(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

std::string HttpRequest::header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return "";
}

std::string HttpRequest::param(const std::string& name) const
{
    auto it = query.find(name);
    return it != query.end() ? it->second : formField(name);
}

std::string HttpRequest::formField(const std::string& name) const
{
    auto it = form.find(name);
    return it != form.end() ? it->second : "";
}

std::string HttpRequest::cookie(const std::string& name) const
{
    std::string text = header("Cookie");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(';', pos);
        std::string part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        size_t b = part.find_first_not_of(' ');
        if (b != std::string::npos) {
            part = part.substr(b);
        }
        if (part.compare(0, name.size() + 1, name + "=") == 0) {
            return part.substr(name.size() + 1);
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return "";
}

void HttpResponse::setHeader(const std::string& name, const std::string& value)
{
    for (auto it = headers.begin(); it != headers.end();) {
        it = strcasecmp(it->first.c_str(), name.c_str()) == 0 ? headers.erase(it) : std::next(it);
    }
    headers.emplace_back(name, value);
}

std::string HttpResponse::header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return "";
}

void HttpResponse::setContent(std::string content, const std::string& type)
{
    body = std::move(content);
    contentType = type;
}

void HttpResponse::redirect(const std::string& location)
{
    status = 302;
    setHeader("Location", location);
}

} // namespace console
