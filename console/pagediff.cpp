// The Diff page: what the session changed against the table it last
// committed, in the words of the Entries page, with the XML lines behind a
// toggle for whoever needs the exact texts.
#include "pagekit.h"

#include "diffwords.h"
#include "showdiff.h"

#include <sstream>

namespace console {

using namespace page;

std::string diffSection(PageContext& c, WebSession& s)
{
    zor::Expected<std::vector<std::string>> now = c.table(s);
    if (!now) {
        return "<p class=\"warn\">" + h(now.error()) + "</p>";
    }
    std::string body;
    std::vector<std::string> words = diffWords(committedOf(s), *now);
    if (words.empty()) {
        body += "<p id=\"diff-words\">No changes against the committed configuration.</p>";
    } else {
        body += "<ul id=\"diff-words\">";
        for (const std::string& line : words) body += "<li>" + h(line) + "</li>";
        body += "</ul>";
    }
    std::ostringstream xml;
    printDiff(committedOf(s), *now, false, xml);
    return body + "<details><summary>The entries' XML</summary><pre id=\"diff\">" + h(xml.str()) +
           "</pre></details>";
}

std::string diffPage(PageContext& c, WebSession& s)
{
    return layout("Diff", "<h2>Uncommitted changes of this session</h2>" + diffSection(c, s), &s);
}

} // namespace console
