#include "valuescreen.h"

#include "monitoring.h"
#include "monitoringexception.h"
#include "monitorsession.h"
#include "xmlutils.h"
#include "zormodule.h"

#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>

namespace valuescreen {
namespace {

std::mutex gMutex; ///< gProblem
std::string gProblem;
std::function<void(const std::string&)> gLog;

bool carriesDocument(const HostRequest& request, int keyId)
{
    return (request.type == KEY_TYPE_SET || request.type == KEY_TYPE_ADD) &&
           (keyId == ZOR_MON_ENTRY_KEY || keyId == ZOR_MON_ACTION_TRIGGER_KEY);
}

/// The XML text as the module finds it: after the value's index parts (an
/// entry add has none, a trigger set two). Absent when the value has fewer
/// parts: then the module refuses the request before it parses anything.
std::optional<std::string> documentOf(const HostRequest& request, int keyId)
{
    if (!request.value) {
        return std::nullopt;
    }
    int separators = (keyId == ZOR_MON_ACTION_TRIGGER_KEY ? 1 : 0) + (request.type == KEY_TYPE_SET ? 1 : 0);
    size_t at = 0;
    for (int i = 0; i < separators; ++i) {
        size_t slash = request.value->find('/', at);
        if (slash == std::string::npos) {
            return std::nullopt;
        }
        at = slash + 1;
    }
    return request.value->substr(at);
}

std::string describe(const HostRequest& request)
{
    std::string text = request.op + " " + request.key;
    return text.size() > 120 ? text.substr(0, 120) + "..." : text;
}

} // namespace

std::string malformedValue(const HostRequest& request, int keyId)
{
    if (!carriesDocument(request, keyId)) {
        return std::string();
    }
    std::optional<std::string> xml = documentOf(request, keyId);
    if (!xml) {
        return std::string();
    }
    std::lock_guard<std::mutex> lock(hostParseMutex());
    resetXMLErrors();
    try {
        if (keyId == ZOR_MON_ENTRY_KEY) {
            MonitoringConfiguration::parseMonitorEntry(*xml);
        } else {
            std::unique_ptr<ActionTrigger>(MonitoringConfiguration::parseActionTrigger(*xml));
        }
    } catch (const MonitoringException&) {
        // A well-formed text the model refuses (an unknown comparison, a
        // missing attribute) is the module's to answer: only the reporter
        // decides here.
    }
    if (!GetXMLErrorReporter()->getSawErrors()) {
        return std::string();
    }
    std::string diagnostic = GetXMLErrorReporter()->lastDiagnostic();
    resetXMLErrors();
    return "zorhostd: the value's XML text is malformed" + (diagnostic.empty() ? "" : " (" + diagnostic + ")") +
           "; it was not sent to the module";
}

std::string moduleParserProblem()
{
    std::lock_guard<std::mutex> lock(gMutex);
    return gProblem;
}

void install(std::function<void(const std::string&)> log)
{
    gLog = std::move(log);
    // Only for the tests of what happens when a document fails in the module
    // anyway, which this check otherwise never lets happen.
    const bool checking = std::getenv("ZORHOSTD_SKIP_VALUE_CHECK_FOR_TEST") == nullptr;
    RequestScreen screen;
    screen.before = [checking](const HostRequest& request, int keyId) -> std::string {
        if (!carriesDocument(request, keyId)) {
            return std::string();
        }
        std::string problem = moduleParserProblem();
        if (!problem.empty()) {
            return "zorhostd: the module's XML parser refuses every document since " + problem +
                   "; no entry or trigger can be set or added until zorhostd restarts. Commit the edits you have "
                   "(commit and del still work), then restart zorhostd (systemctl restart zorhostd)";
        }
        return checking ? malformedValue(request, keyId) : std::string();
    };
    screen.after = [](const HostRequest& request, int keyId, const RequestOutcome& outcome) {
        if (!carriesDocument(request, keyId) || !outcome.result || *outcome.result != -6 ||
            outcome.reply != "Parsing errors occurred") {
            return;
        }
        std::string first;
        {
            std::lock_guard<std::mutex> lock(gMutex);
            if (!gProblem.empty()) {
                return;
            }
            std::time_t now = std::time(nullptr);
            char stamp[32];
            std::tm parts{};
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &parts));
            gProblem = std::string(stamp) + " (" + describe(request) + ")";
            first = gProblem;
        }
        if (gLog) {
            gLog("the module's XML parser refuses every document since " + first +
                 "; sets and adds of entries and triggers are refused until zorhostd restarts");
        }
    };
    HostSession::setRequestScreen(std::move(screen));
}

} // namespace valuescreen
