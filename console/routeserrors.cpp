// The bodies of error answers: a client of the API reads JSON, a browser a
// page that says what went wrong and leads back to the console.
#include "consoleroutes.h"

#include "consolepages.h"
#include "pagekit.h"

namespace console {

namespace {

std::string statusTitle(int status)
{
    switch (status) {
    case 400: return "Bad request";
    case 403: return "Refused";
    case 404: return "Not found";
    case 405: return "Method not allowed";
    case 413: return "Request too large";
    case 503: return "Unavailable";
    default: return status >= 500 ? "Server error" : "Error";
    }
}

} // namespace

std::string statusPage(int status, const std::string& message)
{
    return page::layout(statusTitle(status),
                        "<p class=\"warn\" id=\"message\">" + page::h(message) +
                            "</p><p><a href=\"/\" id=\"home\">The console's overview</a></p>",
                        nullptr);
}

void errorAnswer(const HttpRequest& request, HttpResponse& response, const std::string& message)
{
    if (request.path.rfind("/api/", 0) == 0) {
        sendJson(response, {{"error", message}}, response.status);
    } else {
        response.setContent(statusPage(response.status, message), "text/html; charset=utf-8");
    }
}

} // namespace console
