#include "zorsmtp.h"

#include "zorglobals.h"

#include <libesmtp.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

const char* const configFile = "configs/etc/quorvane/smtp.conf";

// Header lines every notification starts with. The library replaces the
// Subject and From lines by the values set through its header API and drops
// the Return-Path line on the way out, as a message in transit must not carry
// one; the line stays so that the message source is complete on its own.
const char* const messageText[] = {
    "Return-Path: <support@quorvane.example.com>\r\n",
    "Subject: Notification\r\n",
    "MIME-Version: 1.0\r\n",
    "Content-Type: text/plain; charset=iso-8859-1\r\n",
    "Content-Transfer-Encoding: 7bit\r\n",
    "\r\n",
};
const int messageLines = sizeof messageText / sizeof messageText[0];

const char* const addressBlanks = " \n\r\t";

// Configuration problems are reported where the appliance's other low-level
// services report theirs: the system log in production, standard error when
// the host runs without it.
void reportConfigProblem(const char* format, const char* path)
{
    char text[1200];
    std::snprintf(text, sizeof text, format, path);
    if (zorGlobalUseSyslog != 0) {
        openlog("tarsk", LOG_CONS | LOG_NDELAY, LOG_LOCAL4);
        syslog(LOG_LOCAL4 | LOG_NOTICE, "%s", text);
        closelog();
    } else {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
}

// The library writes to its socket with write(): a server that drops the
// connection in the middle of a message raises SIGPIPE, whose default action
// ends the whole host process. While the library talks to the server,
// SIGPIPE is held back in this thread; one raised meanwhile is taken off
// again before the old mask returns, as the failed write already makes the
// send fail. The process-wide disposition is left alone: it is the host's.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&_pipe);
        sigaddset(&_pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        _wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        _blocked = pthread_sigmask(SIG_BLOCK, &_pipe, &_saved) == 0;
    }
    ~SigpipeGuard()
    {
        if (!_blocked) {
            return;
        }
        sigset_t pending;
        sigemptyset(&pending);
        if (!_wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            while (sigtimedwait(&_pipe, nullptr, &now) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &_saved, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t _pipe;
    sigset_t _saved;
    bool _wasPending = false;
    bool _blocked = false;
};

// When the library last read from or wrote to the server. A wait that ran
// out and a connection the server dropped both end the session without a
// status for the message and with the same library error; only the time the
// conversation stood still before the end tells them apart.
void noteTraffic(const char*, int, int, void* last)
{
    *static_cast<std::chrono::steady_clock::time_point*>(last) = std::chrono::steady_clock::now();
}

} // namespace

ZORSmtp::ZORSmtp() { loadConfigFile(); }

std::string ZORSmtp::getErrorMessage(unsigned int index) const
{
    if (index >= _errorMessages.size()) {
        return std::string();
    }
    return _errorMessages[index];
}

void ZORSmtp::print() const
{
    std::cout << "Server: '" << _server << "', Port: " << _port << ", from: '" << _from << "'"
              << std::endl;
}

void ZORSmtp::loadConfigFile()
{
    FILE* file = std::fopen(configFile, "r");
    if (file == nullptr) {
        reportConfigProblem("File read open error (%s). Email is not configured\n", configFile);
        return;
    }
    // Quoted items are read into 1024 characters; the width keeps a longer
    // value from running past the buffer (it is cut at 1023 characters).
    char text[1024];
    if (std::fscanf(file, "'%1023[^']'", text) == 1) {
        _server = text;
    }
    // The line end after the server, skipped whether or not the server matched.
    std::fgetc(file);
    int port = 0;
    if (std::fscanf(file, "%d", &port) == 1) {
        _port = port;
    }
    if (std::fscanf(file, "\n'%1023[^']'", text) == 1) {
        _from = text;
    }
    std::fclose(file);
}

void ZORSmtp::saveConfigFile()
{
    FILE* file = std::fopen(configFile, "w");
    if (file == nullptr) {
        reportConfigProblem("Could not open %s for saving\n", configFile);
        return;
    }
    // No line end after the port: the sender line brings its own in front, and
    // an unset sender is left out so that a later load keeps the default.
    if (std::fprintf(file, "'%s'\n", _server.c_str()) > 0) {
        if (std::fprintf(file, "%d", _port) > 0 && !_from.empty()) {
            std::fprintf(file, "\n'%s'", _from.c_str());
        }
    }
    std::fclose(file);
}

const char* ZORSmtp::messageCallback(void** buffer, int* length, void* state)
{
    (void)buffer;
    msgState_t* message = static_cast<msgState_t*>(state);
    // A rewind request from the library; the read-out simply goes on from
    // where it stands.
    if (length == nullptr || message == nullptr) {
        return nullptr;
    }
    if (message->msgIndex == -1) {
        *length = 0;
        return nullptr;
    }
    if (message->msgIndex >= 0 && message->msgIndex < messageLines) {
        const char* line = messageText[message->msgIndex];
        ++message->msgIndex;
        *length = static_cast<int>(std::char_traits<char>::length(line));
        return line;
    }
    message->msgBuffer = message->msgBody != nullptr ? message->msgBody : "";
    message->msgBuffer += "\r\n";
    message->msgIndex = -1;
    *length = static_cast<int>(message->msgBuffer.size());
    return message->msgBuffer.data();
}

void ZORSmtp::sendEmail(std::string subject, std::string body)
{
    _errorMessages.clear();

    if (subject.find_first_of("\r\n") != std::string::npos) {
        _errorMessages.push_back("subject refused: it holds a carriage return or line feed");
        return;
    }

    const std::string server = _server + ":" + std::to_string(_port);

    if (_from.empty()) {
        char host[257] = {0};
        if (gethostname(host, 256) == 0) {
            _from = std::string("root@") + host;
        }
    }

    // Declared before the session so that the body buffer the library reads
    // from stays valid until smtp_destroy_session() below has run.
    msgState_t state;
    state.msgBody = body.c_str();
    state.msgIndex = 0;

    smtp_session_t session = smtp_create_session();
    if (session == nullptr) {
        return;
    }
    smtp_message_t message = smtp_add_message(session);

    // libesmtp counts its timeouts in milliseconds and raises the greeting
    // wait to the RFC's five minutes unless told to override that minimum.
    const long timeoutMs = static_cast<long>(_timeoutSeconds) * 1000L;
    for (int which : {Timeout_GREETING, Timeout_ENVELOPE, Timeout_DATA, Timeout_TRANSFER, Timeout_DATA2}) {
        smtp_set_timeout(session, which | Timeout_OVERRIDE_RFC2822_MINIMUM, timeoutMs);
    }
    smtp_set_server(session, server.c_str());
    smtp_set_reverse_path(message, _from.c_str());

    // To is built by the library from the recipients; Subject and From
    // replace whatever the fixed lines say.
    smtp_set_header(message, "To", static_cast<const char*>(nullptr),
                    static_cast<const char*>(nullptr));
    smtp_set_header(message, "Subject", subject.c_str());
    smtp_set_header_option(message, "Subject", Hdr_OVERRIDE, 1);
    smtp_set_header(message, "From", static_cast<const char*>(nullptr), _from.c_str());
    smtp_set_header_option(message, "From", Hdr_OVERRIDE, 1);

    smtp_set_messagecb(message, &ZORSmtp::messageCallback, &state);

    for (const std::string& given : _recipients) {
        std::string address = given;
        if (!address.empty() && address.find_first_of(addressBlanks) == 0) {
            address.erase(0, address.find_first_not_of(addressBlanks));
        }
        if (!address.empty() && address.find_last_of(addressBlanks) == address.size() - 1) {
            address.erase(address.find_last_not_of(addressBlanks) + 1);
        }
        // A recipient made only of blanks (or nothing) would be sent to the
        // server as an empty mailbox and refused there, possibly taking the
        // whole message down with it; it is skipped and named like a refused
        // recipient, so the others still get the notification.
        if (address.empty()) {
            _errorMessages.push_back(
                "adding recipient: '' failed: no address left after removing blanks");
            continue;
        }
        if (address.find_first_of("\r\n") != std::string::npos) {
            _errorMessages.push_back("adding recipient: '" + address.substr(0, address.find_first_of("\r\n")) +
                                     "...' refused: it holds a carriage return or line feed");
            continue;
        }
        if (smtp_add_recipient(message, address.c_str()) == nullptr) {
            _errorMessages.push_back("adding recipient: '" + address + "' failed");
        }
    }

    std::chrono::steady_clock::time_point lastTraffic = std::chrono::steady_clock::now();
    smtp_set_monitorcb(session, &noteTraffic, &lastTraffic, 0);

    int started = 0;
    {
        SigpipeGuard quietPipe;
        started = smtp_start_session(session);
    }
    const auto libraryError = [&] {
        char text[128];
        const char* reason = smtp_strerror(smtp_errno(), text, sizeof text);
        return server + ": " + (reason != nullptr && *reason != 0 ? reason : "no reply to the message");
    };
    const smtp_status_t* status = started == 0 ? nullptr : smtp_message_transfer_status(message);
    const int code = status != nullptr ? status->code : 0;
    if (started == 0) {
        _errorMessages.push_back("Sending email failed: " + libraryError());
    } else if (code == 0) {
        // No status for the message: the server never answered it. Idle for
        // the whole timeout means a wait ran out (a server that accepts the
        // connection and never speaks); less, that the connection ended.
        const auto idle = std::chrono::steady_clock::now() - lastTraffic;
        const bool waitRanOut = idle >= std::chrono::seconds(_timeoutSeconds) - std::chrono::milliseconds(100);
        _errorMessages.push_back("Sending email failed: " +
                                 (waitRanOut ? "no answer from " + server + " within " +
                                                   std::to_string(_timeoutSeconds) + " s"
                                             : libraryError()));
    } else {
        std::string reply = status != nullptr && status->text != nullptr ? status->text : "None";
        // The library keeps the server's line end on the reply text; without
        // it the status is one line in the log and in the error list.
        reply.erase(reply.find_last_not_of("\r\n") + 1);
        const std::string line =
            "Email SMTP status: " + std::to_string(code) + ", message: " + reply;
        if (code == 250 && _statusLog) {
            _statusLog(line);
        } else if (code == 250) {
            zor_logstream << line << std::endl;
        } else {
            _errorMessages.push_back(line);
        }
    }

    smtp_destroy_session(session);
}
