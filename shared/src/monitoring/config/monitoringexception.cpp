#include "monitoringexception.h"

#include <xercesc/util/XMLString.hpp>

namespace {
std::string transcodeToLocal(const XMLCh* message)
{
    if (message == nullptr) {
        return std::string();
    }
    char* narrow = xercesc::XMLString::transcode(message);
    std::string text(narrow != nullptr ? narrow : "");
    xercesc::XMLString::release(&narrow);
    return text;
}
} // namespace

MonitoringException::MonitoringException() = default;

MonitoringException::MonitoringException(const XMLCh* message) : _message(transcodeToLocal(message)) {}

MonitoringException::MonitoringException(std::string message) : _message(std::move(message)) {}

std::string MonitoringException::getMessage() const { return _message; }

void MonitoringException::setMessage(std::string message) { _message = std::move(message); }

void MonitoringException::setMessage(const XMLCh* message) { _message = transcodeToLocal(message); }
