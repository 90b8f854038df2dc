// E-mail notifier: sends one plain-text notification to a list of
// recipients through an SMTP server. Server, port and sender come from
// configs/etc/quorvane/smtp.conf (relative to the working directory).
// Nothing is thrown: the texts of what went wrong in the last send are kept
// for the caller to read.
#pragma once

#include <functional>
#include <string>
#include <vector>

/// Read-out state of one message handed to the SMTP library.
typedef struct msgState {
    const char* msgBody = nullptr; ///< body text, borrowed from the sender
    int msgIndex = 0;              ///< next fixed line 0..5; 6 or more: body next; -1: finished
    /// The body followed by "\r\n" as delivered to the library. It belongs to
    /// the state, not to the library, so it outlives the SMTP session and is
    /// released with the state after the session is destroyed.
    std::string msgBuffer;
} msgState_t;

class ZORSmtp {
public:
    /// Defaults (no server, port 25, no sender), then the configuration file.
    ZORSmtp();
    /// Copies every field; the configuration file is not read again.
    ZORSmtp(const ZORSmtp& source) = default;
    ZORSmtp& operator=(const ZORSmtp& source) = default;
    ~ZORSmtp() = default;

    std::string getServer() const { return _server; }
    int getPort() const { return _port; }
    std::string getFrom() const { return _from; }

    void setServer(std::string server) { _server = std::move(server); }
    void setPort(int port) { _port = port; }
    void setFrom(std::string from) { _from = std::move(from); }

    /// Seconds the SMTP library waits for each answer of the server (the
    /// greeting, every envelope reply, the start and end of the data), 30 by
    /// default: a server that accepts a connection and then stays silent costs
    /// at most this long per wait, not the library's five minutes. 1 at least.
    void setTimeout(int seconds) { _timeoutSeconds = seconds < 1 ? 1 : seconds; }
    int getTimeout() const { return _timeoutSeconds; }

    /// Where the status line of an accepted message goes instead of the host
    /// log stream: a sender on a thread of its own must not write that shared
    /// stream while the host's threads do. Empty: the host log stream.
    void setStatusLog(std::function<void(const std::string&)> statusLog) { _statusLog = std::move(statusLog); }

    /// Appends the address as given; it is trimmed when the mail is sent.
    void addRecipient(std::string address) { _recipients.push_back(std::move(address)); }

    /// Sends one message to every recipient. The outcome is read afterwards
    /// with getErrorCount() and getErrorMessage(): "Sending email failed:
    /// SERVER:PORT: <the library's reason>" when the connection failed or
    /// ended before the server answered the message, "Sending email failed:
    /// no answer from SERVER:PORT within N s" when a wait ran out, "Email
    /// SMTP status: <code>, message: <reply>" when the server refused it. A subject holding a carriage
    /// return or line feed is refused (nothing is sent), and so is each
    /// recipient holding one after trimming: such a text would add headers or
    /// SMTP commands of its own.
    void sendEmail(std::string subject, std::string body);

    int getErrorCount() const { return static_cast<int>(_errorMessages.size()); }
    /// The error text at index, or an empty text past the end.
    std::string getErrorMessage(unsigned int index) const;

    void loadConfigFile();
    void saveConfigFile();

    /// "Server: '<server>', Port: <port>, from: '<sender>'" on standard output.
    void print() const;

    /// Message reader for the SMTP library: the fixed header lines, then the
    /// body. `state` is a msgState_t; `buffer` is the library's per-message
    /// context, which this reader leaves untouched.
    static const char* messageCallback(void** buffer, int* length, void* state);

private:
    std::string _server;
    int _port = 25;
    std::vector<std::string> _recipients;
    std::string _from;
    std::vector<std::string> _errorMessages;
    int _timeoutSeconds = 30;
    std::function<void(const std::string&)> _statusLog;
};
