#include "zorfcstatus.h"

#include "zorpath.h"

#include <fstream>

namespace {

const char* const kStatusFile = ZOR_FC_STATUS_FILE;

std::string cutAtCarriageReturn(const std::string& line)
{
    return line.substr(0, line.find('\r'));
}

// "<spaces><label> <value>": the value, or "" when the label has no blank
// after it.
std::string labelledValue(const std::string& field)
{
    std::string::size_type start = field.find_first_not_of(' ');
    if (start == std::string::npos) {
        return std::string();
    }
    std::string::size_type blank = field.find(' ', start);
    return blank == std::string::npos ? std::string() : field.substr(blank + 1);
}

std::string wwnValue(const std::string& field)
{
    std::string::size_type at = field.find("WWN ");
    return at == std::string::npos ? std::string() : field.substr(at + 4);
}

} // namespace

void ZorFCDevice::parseStatusLine(std::string line)
{
    line = cutAtCarriageReturn(line);
    // Six comma-separated fields; the last one (the status) runs to the end
    // of the line, commas included. Each field is read on its own so that a
    // field without its label spoils only itself.
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    while (fields.size() < 5) {
        std::string::size_type comma = line.find(',', start);
        if (comma == std::string::npos) {
            break;
        }
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(line.substr(start));
    fields.resize(6);

    std::string::size_type blank = fields[0].find(' ');
    _device = blank == std::string::npos ? std::string() : fields[0].substr(blank + 1);
    _channel = labelledValue(fields[1]);
    _irq = labelledValue(fields[2]);
    _nodeWWN = wwnValue(fields[3]);
    _portWWN = wwnValue(fields[4]);
    _status = labelledValue(fields[5]);
}

void ZorFCStatus::readFCStatus()
{
    std::ifstream in(zorResolvePath(kStatusFile));
    if (!in) {
        return;
    }
    try {
        std::vector<ZorFCDevice> devices;
        bool first = true;
        std::string line;
        while (std::getline(in, line)) {
            // A line holding only the carriage return of a CRLF file is as
            // empty as a bare line feed.
            if (cutAtCarriageReturn(line).empty()) {
                continue;
            }
            if (first) {
                _model = parseModel(line);
                first = false;
                continue;
            }
            ZorFCDevice device;
            device.parseStatusLine(line);
            devices.push_back(device);
        }
        if (!devices.empty()) {
            _deviceList.swap(devices);
        }
    } catch (...) {
        // The port list stays as it was; the model may already be new.
    }
}

ZorFCDevice ZorFCStatus::getDevice(int index) const
{
    if (index < 0 || index >= getDeviceCount()) {
        return ZorFCDevice();
    }
    return _deviceList[static_cast<size_t>(index)];
}

std::string ZorFCStatus::parseModel(std::string line)
{
    line = cutAtCarriageReturn(line);
    std::string::size_type at = line.find(" Adapter Ports");
    return at == std::string::npos ? std::string("unknown") : line.substr(0, at);
}
