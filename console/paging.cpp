#include "paging.h"

#include "pagekit.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace console {

namespace {

/// A whole decimal number, or false.
bool readCount(const std::string& text, size_t* out)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = static_cast<size_t>(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

} // namespace

Paging readPaging(const std::string& offset, const std::string& limit, size_t defaultLimit, size_t maxLimit)
{
    Paging p;
    p.limit = defaultLimit;
    readCount(offset, &p.offset);
    size_t asked = 0;
    if (readCount(limit, &asked) && asked > 0) p.limit = asked;
    if (p.limit > maxLimit) p.limit = maxLimit;
    return p;
}

std::string counted(size_t n, const std::string& noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

std::string pagingLinks(const std::string& id, const std::string& target, const Paging& p, size_t total,
                        const std::string& noun)
{
    std::string out = "<p class=\"paging\" id=\"" + id + "\">";
    if (total == 0 || p.offset >= total) {
        out += "None of " + page::h(counted(total, noun)) + " from " + std::to_string(p.offset + 1) + " on.";
    } else {
        std::string plural = noun + "s";
        plural[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(plural[0])));
        out += page::h(plural) + " " + std::to_string(p.offset + 1) + "-" + std::to_string(p.end(total)) + " of " +
               std::to_string(total) + ".";
    }
    const std::string limit = "&amp;limit=" + std::to_string(p.limit);
    if (p.offset > 0) {
        size_t previous = p.offset > p.limit ? p.offset - p.limit : 0;
        if (previous >= total && total > 0) previous = (total - 1) / p.limit * p.limit;
        out += " <a href=\"" + page::h(target) + "offset=" + std::to_string(previous) + limit +
               "\" class=\"previous\">Previous " + std::to_string(p.limit) + "</a>";
    }
    if (p.end(total) < total) {
        out += " <a href=\"" + page::h(target) + "offset=" + std::to_string(p.end(total)) + limit +
               "\" class=\"next\">Next " + std::to_string(std::min(p.limit, total - p.end(total))) + "</a>";
    }
    return out + "</p>";
}

} // namespace console
