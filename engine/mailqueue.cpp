#include "monitoractions.h"

#include "zorsmtp.h"

#include <chrono>

namespace zormon {

MailQueue::MailQueue(MailSettings settings, HostLog hostLog)
    : _settings(std::move(settings)), _hostLog(std::move(hostLog)), _worker([this] { work(); })
{
}

MailQueue::~MailQueue() { stop(); }

bool MailQueue::post(std::vector<std::string> recipients, std::string subject, std::string body)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_stopping && _queue.size() < _settings.capacity) {
            _queue.push_back({std::move(recipients), std::move(subject), std::move(body)});
            _wake.notify_all();
            return true;
        }
        ++_failed;
    }
    _hostLog("mail dropped, the queue is full or stopping: " + subject);
    return false;
}

void MailQueue::stop()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
        _queue.clear();
        _wake.notify_all();
    }
    if (_worker.joinable()) {
        _worker.join();
    }
}

unsigned long MailQueue::sent() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _sent;
}

unsigned long MailQueue::failed() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _failed;
}

size_t MailQueue::queued() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _queue.size();
}

std::string MailQueue::sendOnce(const Mail& mail)
{
    ZORSmtp smtp; // reads its configuration file at each message, so edits apply at once
    if (!_settings.server.empty()) {
        smtp.setServer(_settings.server);
    }
    if (_settings.port > 0) {
        smtp.setPort(_settings.port);
    }
    smtp.setTimeout(_settings.timeoutSeconds);
    smtp.setStatusLog(_hostLog); // this worker never writes the host's log stream itself
    for (const std::string& address : mail.recipients) {
        smtp.addRecipient(address);
    }
    if (smtp.getServer().empty()) {
        return "no mail server configured";
    }
    smtp.sendEmail(mail.subject, mail.body);
    std::string errors;
    for (int i = 0; i < smtp.getErrorCount(); ++i) {
        errors += (errors.empty() ? "" : "; ") + smtp.getErrorMessage(static_cast<unsigned int>(i));
    }
    return errors;
}

void MailQueue::work()
{
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        _wake.wait(lock, [this] { return _stopping || !_queue.empty(); });
        if (_stopping) {
            return;
        }
        Mail mail = std::move(_queue.front());
        _queue.pop_front();
        std::string to;
        for (const std::string& address : mail.recipients) {
            to += (to.empty() ? "" : ",") + address;
        }
        for (int attempt = 1;; ++attempt) {
            lock.unlock();
            const std::string why = sendOnce(mail);
            lock.lock();
            if (why.empty()) {
                ++_sent;
                lock.unlock();
                _hostLog("mail sent to " + to + ": " + mail.subject);
                lock.lock();
                break;
            }
            const bool last = attempt >= _settings.attempts || _stopping;
            if (last) {
                ++_failed;
            }
            lock.unlock();
            _hostLog("mail to " + to + " failed (attempt " + std::to_string(attempt) + " of " +
                     std::to_string(_settings.attempts) + "): " + why + (last ? "; given up" : "; will retry"));
            lock.lock();
            if (last ||
                _wake.wait_for(lock, std::chrono::seconds(_settings.retryDelaySeconds), [this] { return _stopping; })) {
                break;
            }
        }
    }
}

} // namespace zormon
