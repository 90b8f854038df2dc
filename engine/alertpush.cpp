#include "alertpush.h"

#include "httppost.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>

namespace zormon {

namespace {

constexpr std::chrono::seconds kMaxBackoff{60};
const char* const kAlertsPath = "/api/v2/alerts";

/// The first line of a reply body, short enough for one log line.
std::string firstLine(const std::string& text)
{
    std::string line = text.substr(0, text.find('\n'));
    if (line.size() > 200) {
        line = line.substr(0, 200) + "...";
    }
    return line;
}

} // namespace

zor::Expected<std::string> checkManagerUrl(const std::string& url)
{
    const zor::Expected<HttpTarget> target = parseHttpUrl(url);
    if (!target) {
        return zor::Error{target.error()};
    }
    const bool v6 = target->host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + target->host + "]" : target->host) + ":" + std::to_string(target->port) +
           target->prefix;
}

std::string rfc3339(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

AlertPusher::AlertPusher(HostLog hostLog) : _hostLog(std::move(hostLog)), _worker([this] { work(); }) {}

AlertPusher::~AlertPusher() { stop(); }

void AlertPusher::configure(AlertPushSettings settings)
{
    std::vector<std::string> refused;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_stopping) {
            return;
        }
        std::map<std::string, Manager> managers;
        for (const std::string& url : settings.managers) {
            const zor::Expected<std::string> checked = checkManagerUrl(url);
            if (!checked) {
                refused.push_back(checked.error());
                continue;
            }
            auto kept = _managers.find(*checked);
            if (kept != _managers.end()) {
                managers[*checked] = std::move(kept->second);
                _managers.erase(kept);
                continue;
            }
            if (managers.count(*checked) != 0) {
                continue; // listed twice
            }
            Manager& added = managers[*checked];
            added.status.url = *checked;
            for (const auto& [name, firing] : _firing) {
                queueLocked(added, firing.alert, 0);
            }
        }
        _managers = std::move(managers);
        settings.timeoutMs = std::max(settings.timeoutMs, 1);
        settings.refreshSeconds = std::max(settings.refreshSeconds, 1L);
        _settings = std::move(settings);
        _changed = true;
        _wake.notify_all();
    }
    for (const std::string& why : refused) {
        _hostLog("alert manager left out: " + why);
    }
}

void AlertPusher::queueLocked(Manager& manager, const PushedAlert& alert, std::time_t endsAt)
{
    Waiting& waiting = manager.waiting[alert.name];
    waiting.alert = alert;
    // A manager refuses an alert that ends before it starts.
    waiting.endsAt = endsAt != 0 && alert.startsAt != 0 ? std::max(endsAt, alert.startsAt) : endsAt;
    waiting.seq = ++_seq;
    if (endsAt == 0) {
        return;
    }
    size_t ended = 0;
    for (const auto& [name, entry] : manager.waiting) {
        ended += entry.endsAt != 0 ? 1 : 0;
    }
    while (ended > _settings.capacity) {
        auto oldest = manager.waiting.end();
        for (auto it = manager.waiting.begin(); it != manager.waiting.end(); ++it) {
            if (it->second.endsAt != 0 && (oldest == manager.waiting.end() || it->second.seq < oldest->second.seq)) {
                oldest = it;
            }
        }
        manager.waiting.erase(oldest);
        --ended;
    }
}

void AlertPusher::queueLocked(const PushedAlert& alert, std::time_t endsAt)
{
    for (auto& [url, manager] : _managers) {
        queueLocked(manager, alert, endsAt);
    }
    _changed = true;
    _wake.notify_all();
}

void AlertPusher::firing(const PushedAlert& alert)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_stopping) {
        return;
    }
    const Clock::time_point now = Clock::now();
    auto it = _firing.find(alert.name);
    if (it == _firing.end()) {
        _firing[alert.name] = {alert, now};
        queueLocked(alert, 0);
        return;
    }
    Firing& known = it->second;
    const bool changed = known.alert.labels != alert.labels || known.alert.startsAt != alert.startsAt;
    if (!changed && known.alert.annotations != alert.annotations) {
        known.alert.annotations = alert.annotations;
    }
    if (changed) {
        known.alert = alert;
    }
    if (changed || now - known.sent >= std::chrono::seconds(_settings.refreshSeconds)) {
        known.sent = now;
        queueLocked(known.alert, 0);
    }
}

void AlertPusher::ended(const std::string& name, std::time_t endsAt)
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _firing.find(name);
    if (_stopping || it == _firing.end()) {
        return;
    }
    queueLocked(it->second.alert, endsAt != 0 ? endsAt : std::time(nullptr));
    _firing.erase(it);
}

void AlertPusher::forget(const std::string& name)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _firing.erase(name);
}

std::vector<ManagerStatus> AlertPusher::status() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<ManagerStatus> result;
    for (const auto& [url, manager] : _managers) {
        result.push_back(manager.status);
        result.back().waiting = manager.waiting.size();
    }
    return result;
}

void AlertPusher::stop()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
        _wake.notify_all();
    }
    if (_worker.joinable()) {
        _worker.join();
    }
}

std::string AlertPusher::bodyLocked(const Manager& manager) const
{
    nlohmann::json alerts = nlohmann::json::array();
    for (const auto& [name, waiting] : manager.waiting) {
        nlohmann::json alert = {{"labels", waiting.alert.labels}, {"annotations", waiting.alert.annotations}};
        if (waiting.alert.startsAt != 0) {
            alert["startsAt"] = rfc3339(waiting.alert.startsAt);
        }
        if (waiting.endsAt != 0) {
            alert["endsAt"] = rfc3339(waiting.endsAt);
        }
        if (!_settings.generatorUrl.empty()) {
            alert["generatorURL"] = _settings.generatorUrl;
        }
        alerts.push_back(std::move(alert));
    }
    // Values read from the system may hold bytes that are not UTF-8; they
    // must not make the worker throw.
    return alerts.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string AlertPusher::settleLocked(Manager& manager, const std::string& error, unsigned long sentUpTo)
{
    ManagerStatus& status = manager.status;
    if (error.empty()) {
        for (auto it = manager.waiting.begin(); it != manager.waiting.end();) {
            it = it->second.seq <= sentUpTo ? manager.waiting.erase(it) : std::next(it);
        }
        ++status.pushes;
        status.lastSuccess = std::time(nullptr);
        status.lastError.clear();
        manager.backoff = std::chrono::seconds(0);
        manager.retryAt = {};
        if (status.up) {
            return "";
        }
        status.up = true;
        return "alert manager " + status.url + " reachable again";
    }
    ++status.failures;
    status.lastError = error;
    manager.backoff = manager.backoff.count() == 0 ? std::chrono::seconds(1) : std::min(manager.backoff * 2, kMaxBackoff);
    manager.retryAt = Clock::now() + manager.backoff;
    if (!status.up) {
        return "";
    }
    status.up = false;
    return "alert manager " + status.url + " unreachable: " + error + " (alerts wait and are retried)";
}

void AlertPusher::work()
{
    std::unique_lock<std::mutex> lock(_mutex);
    const auto woken = [this] { return _stopping || _changed; };
    while (!_stopping) {
        _changed = false;
        const Clock::time_point now = Clock::now();
        std::vector<std::string> due;
        std::optional<Clock::time_point> next;
        for (const auto& [url, manager] : _managers) {
            if (manager.waiting.empty()) {
                continue;
            }
            if (manager.retryAt <= now) {
                due.push_back(url);
            } else if (!next || manager.retryAt < *next) {
                next = manager.retryAt;
            }
        }
        if (due.empty()) {
            if (next) {
                _wake.wait_until(lock, *next, woken);
            } else {
                _wake.wait(lock, woken);
            }
            continue;
        }
        // One after another, each bounded by the timeout; a manager in
        // backoff is not among them, so one that is down costs the others
        // at most one timeout per retry.
        for (const std::string& url : due) {
            auto it = _managers.find(url);
            if (it == _managers.end() || it->second.waiting.empty()) {
                continue; // dropped or emptied by a configuration load meanwhile
            }
            const std::string body = bodyLocked(it->second);
            const unsigned long sentUpTo = _seq;
            const int timeoutMs = _settings.timeoutMs;
            lock.unlock();
            const zor::Expected<HttpReply> reply = httpRequest("POST", url, kAlertsPath, body, "application/json", timeoutMs);
            std::string error;
            if (!reply) {
                error = reply.error();
            } else if (reply->status < 200 || reply->status > 299) {
                error = "HTTP " + std::to_string(reply->status);
                if (!reply->body.empty()) {
                    error += ": " + firstLine(reply->body);
                }
            }
            lock.lock();
            if (_stopping) {
                return;
            }
            it = _managers.find(url);
            if (it == _managers.end()) {
                continue;
            }
            const std::string line = settleLocked(it->second, error, sentUpTo);
            if (!line.empty()) {
                lock.unlock();
                _hostLog(line);
                lock.lock();
            }
        }
    }
}

} // namespace zormon
