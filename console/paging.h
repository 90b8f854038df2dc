// Pages of a long list (a day's log lines, the day logs, the alert history):
// the offset and limit a request asks for, the slice they give, and the
// links to the pages before and after it.
#pragma once

#include <cstddef>
#include <string>

namespace console {

struct Paging {
    size_t offset = 0;
    size_t limit = 0;
    /// One past the last item shown of total.
    size_t end(size_t total) const { return offset + limit < total ? offset + limit : total; }
};

/// offset and limit as a query gives them: a missing or malformed offset is
/// 0, a missing, malformed or zero limit is defaultLimit, and none exceeds
/// maxLimit.
Paging readPaging(const std::string& offset, const std::string& limit, size_t defaultLimit, size_t maxLimit);

/// "1 line" or "2 lines": noun is the singular, plural adds an s.
std::string counted(size_t n, const std::string& noun);

/// What the page shows of total, and links to the previous and next pages;
/// target is the page's URL with its other parameters, ending in '?' or
/// '&'. id names the paragraph. Escaped for HTML.
std::string pagingLinks(const std::string& id, const std::string& target, const Paging& p, size_t total,
                        const std::string& noun);

} // namespace console
