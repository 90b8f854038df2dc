#include "alertbook.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <sstream>

using json = nlohmann::json;

namespace zormon {

namespace {

constexpr long kMinute = 60;
constexpr long kYear = 366L * 24 * 3600;
const char* const kChannels[] = {"log", "email", "udp", "trap"};

std::vector<std::string> wordsOf(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

bool wholeNumber(const std::string& text, long max, long* out)
{
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        return false;
    }
    *out = std::stol(text);
    return *out >= 1 && *out <= max;
}

AlertState stateOf(const std::string& name)
{
    for (AlertState s : {AlertState::pending, AlertState::firing, AlertState::resolved}) {
        if (name == stateName(s)) {
            return s;
        }
    }
    return AlertState::inactive;
}

int rank(AlertState s)
{
    switch (s) {
    case AlertState::firing: return 0;
    case AlertState::pending: return 1;
    case AlertState::resolved: return 2;
    default: return 3;
    }
}

} // namespace

const char* stateName(AlertState state)
{
    switch (state) {
    case AlertState::pending: return "pending";
    case AlertState::firing: return "firing";
    case AlertState::resolved: return "resolved";
    default: return "inactive";
    }
}

AlertingSettings parseAlertingSettings(const std::string& confText, std::vector<std::string>* problems)
{
    AlertingSettings settings;
    std::istringstream in(confText);
    std::string line;
    bool resolvedSeen = false;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        const std::vector<std::string> w = wordsOf(line);
        if (w.empty()) {
            continue;
        }
        auto refuse = [&](const std::string& why) {
            problems->push_back("alerting.conf line " + std::to_string(number) + ": " + why + "; the line is left out");
        };
        long n = 0, minutes = 0;
        if (w[0] == "hold") {
            if (w.size() != 3 || !wholeNumber(w[2], 1000, &n)) {
                refuse("expected \"hold VARIABLE N\" with N from 1 to 1000");
            } else {
                settings.hold[w[1]] = static_cast<int>(n);
            }
        } else if (w[0] == "flap") {
            if (w.size() != 3 || !wholeNumber(w[1], 1000, &n) || !wholeNumber(w[2], 7 * 24 * 60, &minutes)) {
                refuse("expected \"flap N MINUTES\" with N from 1 to 1000 and MINUTES from 1 to 10080");
            } else {
                settings.flapChanges = static_cast<int>(n);
                settings.flapSeconds = minutes * kMinute;
            }
        } else if (w[0] == "resolved") {
            std::set<std::string> channels;
            bool good = true;
            for (size_t i = 1; i < w.size(); ++i) {
                const bool known = std::find(std::begin(kChannels), std::end(kChannels), w[i]) != std::end(kChannels);
                good = good && (known || w[i] == "none");
                if (known) {
                    channels.insert(w[i]);
                }
            }
            if (!good || w.size() < 2) {
                refuse("expected \"resolved CHANNEL...\" of log, email, udp, trap, or \"resolved none\"");
            } else {
                // Several lines add up; the first one replaces the default.
                if (!resolvedSeen) {
                    settings.resolvedChannels.clear();
                    resolvedSeen = true;
                }
                settings.resolvedChannels.insert(channels.begin(), channels.end());
            }
        } else if (w[0] == "alertmanager") {
            if (w.size() != 2) {
                refuse("expected \"alertmanager URL\"");
            } else {
                settings.managers.push_back(w[1]); // checked by the pusher's URL rule when it is taken up
            }
        } else if (w[0] == "label") {
            const size_t eq = w.size() == 2 ? w[1].find('=') : std::string::npos;
            const std::string name = eq == std::string::npos ? "" : w[1].substr(0, eq);
            const bool nameOk = !name.empty() && !::isdigit(static_cast<unsigned char>(name[0])) &&
                                std::all_of(name.begin(), name.end(), [](char c) { return ::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
            if (!nameOk) {
                refuse("expected \"label NAME=VALUE\", NAME of letters, digits and '_'");
            } else {
                settings.labels.emplace_back(name, w[1].substr(eq + 1));
            }
        } else {
            refuse("unknown word \"" + w[0] + "\" (hold, flap, resolved, alertmanager, label)");
        }
    }
    return settings;
}

zor::Expected<long> parseDuration(const std::string& text)
{
    long total = 0;
    size_t i = 0;
    const zor::Error bad{"\"" + text + "\" is not a duration: write a number and a unit, s, m, h or d (\"30m\", \"2h\", \"1h30m\")"};
    if (text.empty()) {
        return bad;
    }
    while (i < text.size()) {
        size_t digits = i;
        while (digits < text.size() && ::isdigit(static_cast<unsigned char>(text[digits]))) {
            ++digits;
        }
        if (digits == i || digits == text.size() || digits - i > 7) {
            return bad;
        }
        const long n = std::stol(text.substr(i, digits - i));
        const char unit = text[digits];
        const long scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
        if (scale == 0) {
            return bad;
        }
        total += n * scale;
        if (total > kYear) {
            return zor::Error{"\"" + text + "\" is longer than a year: a silence that long is better a change of the configuration"};
        }
        i = digits + 1;
    }
    if (total < kMinute) {
        return zor::Error{"\"" + text + "\" is shorter than a minute"};
    }
    return total;
}

std::string formatDuration(long seconds)
{
    std::string out;
    for (auto [unit, size] : {std::pair<char, long>{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}}) {
        if (seconds >= size) {
            out += std::to_string(seconds / size) + unit;
            seconds %= size;
        }
    }
    return out.empty() ? "0s" : out;
}

zor::Expected<AlertMatcher> parseMatcher(const std::string& text)
{
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        return zor::Error{"name an alert: VARIABLE, or VARIABLE and CONDITION (\"root-free-space is below 500\")"};
    }
    const size_t blank = text.find(' ', start);
    AlertMatcher m;
    m.variable = text.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    if (blank != std::string::npos) {
        const size_t from = text.find_first_not_of(' ', blank);
        const size_t to = text.find_last_not_of(' ');
        if (from != std::string::npos) {
            m.condition = text.substr(from, to - from + 1);
        }
    }
    return m;
}

Alert& AlertBook::at(const std::string& variable, const std::string& condition)
{
    Alert& a = _alerts[alertName(variable, condition)];
    if (a.variable.empty()) {
        a.variable = variable;
        a.condition = condition;
    }
    return a;
}

const Alert* AlertBook::find(const std::string& name) const
{
    const auto found = _alerts.find(name);
    return found == _alerts.end() ? nullptr : &found->second;
}

Alert* AlertBook::find(const std::string& name)
{
    const auto found = _alerts.find(name);
    return found == _alerts.end() ? nullptr : &found->second;
}

namespace {
bool isIdle(const Alert& a) { return a.state == AlertState::inactive && a.changes.empty() && !a.flapping; }
} // namespace

void AlertBook::dropIfIdle(const std::string& name)
{
    const auto found = _alerts.find(name);
    if (found != _alerts.end() && isIdle(found->second)) {
        _alerts.erase(found);
    }
}

const Silence* AlertBook::silenceFor(const Alert& alert, std::time_t now) const
{
    for (const Silence& s : _silences) {
        if (s.starts <= now && now < s.ends && s.matches(alert)) {
            return &s;
        }
    }
    return nullptr;
}

Silence AlertBook::addSilence(const AlertMatcher& matcher, std::time_t now, long seconds, std::string comment,
                              std::string author)
{
    Silence s;
    s.id = "s" + std::to_string(_nextSilence++);
    s.variable = matcher.variable;
    s.condition = matcher.condition;
    s.starts = now;
    s.ends = now + seconds;
    s.comment = std::move(comment);
    s.author = std::move(author);
    _silences.push_back(s);
    _changed = true;
    return s;
}

zor::Expected<void> AlertBook::removeSilence(const std::string& id)
{
    const auto found = std::find_if(_silences.begin(), _silences.end(), [&](const Silence& s) { return s.id == id; });
    if (found == _silences.end()) {
        return zor::Error{"no silence " + id + " (zorhost silence list shows those in force)"};
    }
    _silences.erase(found);
    _changed = true;
    return {};
}

std::vector<Silence> AlertBook::silences(std::time_t now) const
{
    std::vector<Silence> out;
    for (const Silence& s : _silences) {
        if (now < s.ends) {
            out.push_back(s);
        }
    }
    return out;
}

bool AlertBook::expireSilences(std::time_t now)
{
    const size_t before = _silences.size();
    _silences.erase(std::remove_if(_silences.begin(), _silences.end(), [now](const Silence& s) { return s.ends <= now; }),
                    _silences.end());
    _changed = _changed || _silences.size() != before;
    return _silences.size() != before;
}

zor::Expected<std::string> AlertBook::acknowledge(const AlertMatcher& matcher, const std::string& author)
{
    std::vector<Alert*> firing;
    for (auto& [name, a] : _alerts) {
        if (a.state == AlertState::firing && a.variable == matcher.variable &&
            (matcher.condition.empty() || a.condition == matcher.condition)) {
            firing.push_back(&a);
        }
    }
    const std::string named = matcher.variable + (matcher.condition.empty() ? "" : " " + matcher.condition);
    if (firing.empty()) {
        return zor::Error{"no firing alert " + named + " (zorhost alerts lists them)"};
    }
    if (firing.size() > 1) {
        return zor::Error{named + " names " + std::to_string(firing.size()) +
                          " firing alerts: add the condition, as zorhost alerts writes it"};
    }
    firing.front()->acknowledgedBy = author.empty() ? "unknown" : author;
    _changed = true;
    return firing.front()->name();
}

std::vector<AlertView> AlertBook::report(std::time_t now, bool inactive, std::vector<Alert> idle) const
{
    std::vector<AlertView> out;
    auto add = [&](Alert a, std::string name) {
        AlertView v{std::move(a), std::move(name), ""};
        if (const Silence* s = silenceFor(v.alert, now)) {
            v.silencedBy = s->id;
        }
        out.push_back(std::move(v));
    };
    for (const auto& [name, a] : _alerts) {
        if (inactive || a.state != AlertState::inactive) {
            add(a, name);
        }
    }
    if (inactive) {
        out.reserve(out.size() + idle.size());
        for (Alert& a : idle) {
            std::string name = a.name();
            add(std::move(a), std::move(name));
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const AlertView& x, const AlertView& y) {
        const int rx = rank(x.alert.state), ry = rank(y.alert.state);
        if (rx != ry) {
            return rx < ry;
        }
        if (x.alert.state == AlertState::resolved) {
            return x.alert.resolvedAt > y.alert.resolvedAt;
        }
        return x.alert.since < y.alert.since;
    });
    return out;
}

std::vector<Alert> AlertBook::retain(const std::set<std::string>& configured)
{
    std::vector<Alert> gone;
    for (auto it = _alerts.begin(); it != _alerts.end();) {
        if (configured.count(it->first) == 0) {
            gone.push_back(std::move(it->second));
            it = _alerts.erase(it);
            _changed = true;
        } else {
            ++it;
        }
    }
    return gone;
}

void AlertBook::forgetResolvedBefore(std::time_t when)
{
    for (auto it = _alerts.begin(); it != _alerts.end();) {
        Alert& a = it->second;
        if (a.state == AlertState::resolved && a.resolvedAt < when && !a.flapping) {
            a.state = AlertState::inactive;
            _changed = true;
        }
        it = isIdle(a) ? _alerts.erase(it) : std::next(it);
    }
}

std::string AlertBook::serialize() const
{
    json alerts = json::array();
    for (const auto& [name, a] : _alerts) {
        if (a.state == AlertState::inactive && a.changes.empty()) {
            continue; // nothing to remember
        }
        alerts.push_back({{"variable", a.variable},         {"condition", a.condition},
                          {"state", stateName(a.state)},    {"since", a.since},
                          {"value", a.value},               {"message", a.message},
                          {"lastSent", a.lastSent},         {"notifications", a.notifications},
                          {"suppressed", a.suppressed},     {"resolvedAt", a.resolvedAt},
                          {"flapping", a.flapping},         {"changes", a.changes},
                          {"acknowledgedBy", a.acknowledgedBy}, {"channels", a.channels},
                          {"consecutive", a.consecutive}});
    }
    json silences = json::array();
    for (const Silence& s : _silences) {
        silences.push_back({{"id", s.id},         {"variable", s.variable}, {"condition", s.condition},
                            {"starts", s.starts}, {"ends", s.ends},         {"comment", s.comment},
                            {"author", s.author}});
    }
    return json{{"version", 1}, {"nextSilence", _nextSilence}, {"alerts", alerts}, {"silences", silences}}.dump(1) +
           "\n";
}

zor::Expected<void> AlertBook::load(const std::string& text)
{
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("version", 0) != 1) {
        return zor::Error{"not a state file of this version"};
    }
    std::map<std::string, Alert> alerts;
    std::vector<Silence> silences;
    unsigned long next = 1;
    try {
        next = doc.at("nextSilence").get<unsigned long>();
        for (const json& j : doc.at("alerts")) {
            Alert a;
            a.variable = j.at("variable").get<std::string>();
            a.condition = j.at("condition").get<std::string>();
            a.state = stateOf(j.at("state").get<std::string>());
            a.since = j.at("since").get<std::time_t>();
            a.value = j.at("value").get<std::string>();
            a.message = j.at("message").get<std::string>();
            a.lastSent = j.at("lastSent").get<std::time_t>();
            a.notifications = j.at("notifications").get<unsigned long>();
            a.suppressed = j.at("suppressed").get<unsigned long>();
            a.resolvedAt = j.at("resolvedAt").get<std::time_t>();
            a.flapping = j.at("flapping").get<bool>();
            a.changes = j.at("changes").get<std::vector<std::time_t>>();
            a.acknowledgedBy = j.at("acknowledgedBy").get<std::string>();
            a.channels = j.at("channels").get<std::vector<std::string>>();
            a.consecutive = j.at("consecutive").get<int>();
            alerts[a.name()] = std::move(a);
        }
        for (const json& j : doc.at("silences")) {
            Silence s;
            s.id = j.at("id").get<std::string>();
            s.variable = j.at("variable").get<std::string>();
            s.condition = j.at("condition").get<std::string>();
            s.starts = j.at("starts").get<std::time_t>();
            s.ends = j.at("ends").get<std::time_t>();
            s.comment = j.at("comment").get<std::string>();
            s.author = j.at("author").get<std::string>();
            silences.push_back(std::move(s));
        }
    } catch (const json::exception& e) {
        return zor::Error{std::string("a field is missing or of the wrong kind: ") + e.what()};
    }
    _alerts = std::move(alerts);
    _silences = std::move(silences);
    _nextSilence = next;
    return {};
}

zor::Expected<void> writeFileAtomically(const std::string& path, const std::string& text)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
    // Each missing folder on the way is made, as mkdir -p does.
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at == folder.size() || folder[at] == '/') {
            if (mkdir(folder.substr(0, at).c_str(), 0750) != 0 && errno != EEXIST) {
                return zor::Error{"cannot make " + folder.substr(0, at) + ": " + std::strerror(errno)};
            }
        }
    }
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        return zor::Error{"cannot write " + temporary + ": " + std::strerror(errno)};
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const std::string why = std::strerror(errno);
            close(fd);
            unlink(temporary.c_str());
            return zor::Error{"cannot write " + temporary + ": " + why};
        }
        done += static_cast<size_t>(n);
    }
    // On disk before the rename, so that a crash leaves the old file or the
    // new one whole, never an empty one.
    if (fsync(fd) != 0 || close(fd) != 0) {
        const std::string why = std::strerror(errno);
        unlink(temporary.c_str());
        return zor::Error{"cannot write " + temporary + ": " + why};
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        unlink(temporary.c_str());
        return zor::Error{"cannot replace " + path + ": " + why};
    }
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return {};
}

} // namespace zormon
