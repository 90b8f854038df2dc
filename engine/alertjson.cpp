#include "alertjson.h"

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace zormon {

namespace {

json silenceObject(const Silence& s)
{
    return {{"id", s.id},
            {"matcher", s.variable + (s.condition.empty() ? "" : " " + s.condition)},
            {"variable", s.variable},
            {"condition", s.condition},
            {"starts", s.starts},
            {"ends", s.ends},
            {"comment", s.comment},
            {"author", s.author}};
}

} // namespace

std::string alertsJson(const std::vector<AlertView>& alerts)
{
    json list = json::array();
    for (const AlertView& v : alerts) {
        const Alert& a = v.alert;
        list.push_back({{"name", v.name},
                        {"variable", a.variable},
                        {"condition", a.condition},
                        {"state", stateName(a.state)},
                        {"since", a.since},
                        {"lastSent", a.lastSent},
                        {"resolvedAt", a.resolvedAt},
                        {"value", a.value},
                        {"message", a.message},
                        {"notifications", a.notifications},
                        {"suppressed", a.suppressed},
                        {"flapping", a.flapping},
                        {"acknowledgedBy", a.acknowledgedBy},
                        {"silencedBy", v.silencedBy}});
    }
    // Texts come from the configuration and the readings: replaced, never
    // refused, when they are not UTF-8.
    return json{{"alerts", list}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string silencesJson(const std::vector<Silence>& silences)
{
    json list = json::array();
    for (const Silence& s : silences) {
        list.push_back(silenceObject(s));
    }
    return json{{"silences", list}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string silenceJson(const Silence& silence)
{
    return json{{"silence", silenceObject(silence)}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace zormon
