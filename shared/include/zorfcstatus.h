// Status of the Fibre Channel adapter's ports, as another component of the
// appliance writes it to /etc/quorvane/fc/QLogicPortStatus: a model line
// ("<model> Adapter Ports") followed by one line per port, for example
//
//   Port hba0, Channel 0, IRQ 24, Node WWN 20:00:00:e0:8b:01:02:03, Port WWN 21:00:00:e0:8b:01:02:03, Status Online
#pragma once

#include <string>
#include <vector>

#define ZOR_FC_STATUS_FILE "/etc/quorvane/fc/QLogicPortStatus"

class ZorFCDevice {
public:
    ZorFCDevice() = default;
    ZorFCDevice(const ZorFCDevice&) = default;
    ZorFCDevice& operator=(const ZorFCDevice&) = default;

    std::string getDevice() const { return _device; }
    std::string getChannel() const { return _channel; }
    std::string getIRQ() const { return _irq; }
    std::string getNodeWWN() const { return _nodeWWN; }
    std::string getPortWWN() const { return _portWWN; }
    std::string getStatus() const { return _status; }

    /// Fills all six fields from one port line. A field whose label or
    /// separator is missing comes out empty; the other fields still parse.
    void parseStatusLine(std::string line);

private:
    std::string _device;
    std::string _channel;
    std::string _irq;
    std::string _nodeWWN;
    std::string _portWWN;
    std::string _status;
};

class ZorFCStatus {
public:
    ZorFCStatus() = default;

    /// Reads the status file. A missing file changes nothing; a file without
    /// port lines changes the model only.
    void readFCStatus();
    std::string getCardModel() const { return _model; }
    int getDeviceCount() const { return static_cast<int>(_deviceList.size()); }
    /// Port `index`; an empty device when there is no such port.
    ZorFCDevice getDevice(int index) const;
    /// The model text of a model line, "unknown" when it is none.
    std::string parseModel(std::string line);

private:
    std::vector<ZorFCDevice> _deviceList;
    std::string _model;
};
