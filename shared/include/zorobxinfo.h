// Identity of this appliance: serial number, model name and model id, and
// the serial number of a partner appliance. Loaded lazily from the hardware
// library and the serial number file ./configs/etc/quorvane/system/.serialnumber
// (relative to the current directory, which on the appliance is "/").
#pragma once

class ZorObxInfo {
public:
    static char caSerialNumber[256];
    static char caPartnerSerialNumber[256];
    static char caModelName[256];
    static int iModelId;

    /// Loads model and serial number; true when the platform knew the model.
    static bool loadData();
    static const char* getSerialNumber();
    static const char* getModelName();
    static int getModelId();
    /// Keeps a copy of the text; longer texts are cut to 255 characters and
    /// null clears it.
    static void setPartnerSerialNumber(const char* serial);
    static const char* getPartnerSerialNumber();
};

/// The serial number used when there is no serial number file: the MAC text
/// of port 0 from the hardware library, or "Unknown" (then false).
bool macToSerialNumber(char* buffer, unsigned len);
