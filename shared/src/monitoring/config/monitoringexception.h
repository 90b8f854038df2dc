// The one exception of the configuration model and the XML layer: a plain
// value class holding one message text. The set, add, delete and commit
// entry points turn it into the reply text a client sees.
#pragma once

#include <string>
#include <xercesc/util/XercesDefs.hpp>

class MonitoringException {
public:
    MonitoringException();
    /// Transcodes a parser message to the local code page.
    explicit MonitoringException(const XMLCh* message);
    explicit MonitoringException(std::string message);
    MonitoringException(const MonitoringException& other) = default;
    MonitoringException& operator=(const MonitoringException& other) = default;

    std::string getMessage() const;
    void setMessage(std::string message);
    void setMessage(const XMLCh* message);

    std::string _message;
};
