#include "monitoractions.h"

#include "monitorlogic.h"
#include "monitorsources.h"
#include "zorsmtp.h"

#ifdef ZOR_HAVE_NETSNMP
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zormon {

MonitorLog::MonitorLog(std::string folder, HostLog hostLog) : _folder(std::move(folder)), _hostLog(std::move(hostLog))
{
    if (!_folder.empty() && _folder.back() != '/') {
        _folder += '/';
    }
}

bool MonitorLog::append(std::time_t when, const std::string& text)
{
    const std::string path = _folder + dayLogName(when);
    const std::string line = logLine(when, text);
    std::error_code ignored; // the folder may be new on a fresh system; an error shows at open
    std::filesystem::create_directories(_folder, ignored);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool written = false;
    int error = errno;
    if (fd >= 0) {
        const ssize_t done = write(fd, line.data(), line.size());
        error = errno;
        written = done == static_cast<ssize_t>(line.size());
        close(fd);
    }
    if (!written && !_failing) {
        _hostLog("cannot write the monitoring log " + path + ": " + std::strerror(error) +
                 " (reported once until a write succeeds)");
    }
    _failing = !written;
    return written;
}

void MonitorLog::removeOld(std::time_t now, int keepDays)
{
    if (keepDays < 1) {
        return;
    }
    // The oldest day kept, as its file name: names of one form sort by date.
    const std::string oldestKept = dayLogName(now - static_cast<std::time_t>(keepDays - 1) * 86400);
    DIR* dir = opendir(_folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* item = readdir(dir)) {
        const std::string name = item->d_name;
        const bool dayFile = name.size() == 13 && name[0] == 'd' && name.compare(9, 4, ".log") == 0 &&
                             name.find_first_not_of("0123456789", 1) == 9;
        if (dayFile && name < oldestKept) {
            if (unlink((_folder + name).c_str()) != 0) {
                _hostLog("cannot remove old monitoring log " + _folder + name + ": " + std::strerror(errno));
            }
        }
    }
    closedir(dir);
}

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

std::vector<TrapSink> parseTrapSinks(const std::string& confText, std::vector<std::string>* problems)
{
    std::vector<TrapSink> sinks;
    forEachConfigLine(confText, [&](int number, const std::vector<std::string>& words) {
        if (words.size() != 3 || words[0] != "trap-sink") {
            problems->push_back("snmp.conf line " + std::to_string(number) +
                                ": expected trap-sink HOST[:PORT] COMMUNITY");
            return;
        }
        sinks.push_back({words[1], words[2]});
    });
    return sinks;
}

#ifdef ZOR_HAVE_NETSNMP
namespace {

/// The enterprise number reserved for documentation, under which the
/// monitor's notification and its objects live (ZOR-MONITOR-MIB).
const oid kAlertTrap[] = {1, 3, 6, 1, 4, 1, 32473, 1, 0, 1};
const oid kAlertObjects[] = {1, 3, 6, 1, 4, 1, 32473, 1, 1};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};

void addText(netsnmp_pdu* pdu, oid column, const std::string& text)
{
    oid name[MAX_OID_LEN];
    const size_t length = OID_LENGTH(kAlertObjects);
    std::memcpy(name, kAlertObjects, sizeof kAlertObjects);
    name[length] = column;
    name[length + 1] = 0;
    snmp_pdu_add_variable(pdu, name, length + 2, ASN_OCTET_STR, text.data(), text.size());
}

} // namespace

std::string sendTrap(const TrapSink& sink, const std::string& variable, const std::string& value,
                     const std::string& description, const std::string& message)
{
    // No init_snmp: it would read configuration files and MIBs and make
    // folders for keys and certificates, none of which sending a v2c
    // notification needs. snmp_sess_init registers the transports itself,
    // once per process (registering them again would lose the first set).
    std::string peer = sink.peer;
    if (peer.find(':') == std::string::npos) {
        peer += ":162";
    }
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_2c;
    settings.peername = const_cast<char*>(peer.c_str());
    settings.community = reinterpret_cast<u_char*>(const_cast<char*>(sink.community.c_str()));
    settings.community_len = sink.community.size();
    void* session = snmp_sess_open(&settings);
    if (session == nullptr) {
        return "cannot open an SNMP session to " + peer;
    }
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
    const long uptime = get_uptime();
    snmp_pdu_add_variable(pdu, kSysUpTime, OID_LENGTH(kSysUpTime), ASN_TIMETICKS, &uptime, sizeof uptime);
    snmp_pdu_add_variable(pdu, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID, kAlertTrap, sizeof kAlertTrap);
    addText(pdu, 1, variable);
    addText(pdu, 2, value);
    addText(pdu, 3, description);
    addText(pdu, 4, message);
    std::string why;
    if (snmp_sess_send(session, pdu) == 0) {
        why = "cannot send the notification to " + peer;
        snmp_free_pdu(pdu); // not taken by the library when the send failed
    }
    snmp_sess_close(session);
    return why;
}
#else
std::string sendTrap(const TrapSink& sink, const std::string&, const std::string&, const std::string&,
                     const std::string&)
{
    return "cannot send to " + sink.peer + ": built without Net-SNMP (libsnmp-dev)";
}
#endif

} // namespace zormon
