#include "zorobxinfo.h"

#include "drive.h"
#include "zorpath.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kSerialFile = "./configs/etc/quorvane/system/.serialnumber";

void copyCut(char* to, const char* from, size_t size)
{
    std::strncpy(to, from, size - 1);
    to[size - 1] = '\0';
}

} // namespace

char ZorObxInfo::caSerialNumber[256] = "";
char ZorObxInfo::caPartnerSerialNumber[256] = "";
char ZorObxInfo::caModelName[256] = "";
int ZorObxInfo::iModelId = -1;

bool ZorObxInfo::loadData()
{
    HWID_MODEL_INFO* info = hwid_getModelInfo(nullptr);
    bool known = info != nullptr;
    if (known) {
        copyCut(caModelName, info->pName != nullptr ? info->pName : "", sizeof caModelName);
        iModelId = info->id;
        hwid_freeModelInfo(info);
    } else {
        copyCut(caModelName, "UNKNOWN", sizeof caModelName);
    }

    FILE* file = std::fopen(zorResolvePath(kSerialFile).c_str(), "r");
    if (file != nullptr) {
        caSerialNumber[0] = '\0';
        if (std::fgets(caSerialNumber, sizeof caSerialNumber, file) == nullptr) {
            caSerialNumber[0] = '\0';
        }
        // A file written on another system may end its line with CR LF.
        caSerialNumber[std::strcspn(caSerialNumber, "\r\n")] = '\0';
        std::fclose(file);
    } else {
        macToSerialNumber(caSerialNumber, sizeof caSerialNumber - 1);
        caSerialNumber[sizeof caSerialNumber - 1] = '\0';
    }
    return known;
}

const char* ZorObxInfo::getSerialNumber()
{
    if (caSerialNumber[0] == '\0') {
        loadData();
    }
    return caSerialNumber;
}

const char* ZorObxInfo::getModelName()
{
    if (caModelName[0] == '\0') {
        loadData();
    }
    return caModelName;
}

int ZorObxInfo::getModelId()
{
    if (caModelName[0] == '\0') {
        loadData();
    }
    return iModelId;
}

void ZorObxInfo::setPartnerSerialNumber(const char* serial)
{
    copyCut(caPartnerSerialNumber, serial != nullptr ? serial : "", sizeof caPartnerSerialNumber);
}

const char* ZorObxInfo::getPartnerSerialNumber()
{
    return caPartnerSerialNumber;
}

bool macToSerialNumber(char* buffer, unsigned len)
{
    if (buffer == nullptr || len == 0) {
        return false;
    }
    if (eth_getMAC(0, buffer, static_cast<int>(len)) != 0) {
        std::strncpy(buffer, "Unknown", len);
        return false;
    }
    return true;
}
