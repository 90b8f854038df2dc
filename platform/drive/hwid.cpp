// Model identity and configuration directory, from the model file (format
// in drive.h).
#include "drive.h"
#include "regfile.h"
#include "zorpath.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kModelFile = "/etc/quorvane/system/model.conf";
const char* const kDefaultConfigs = "/etc/quorvane/hardware/";

char* copyText(const char* text)
{
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy != nullptr) {
        std::memcpy(copy, text, n);
    }
    return copy;
}

bool readKey(URegFile& file, const char* section, const char* key, char* value)
{
    return file.goHead() && file.GoTo(section) && file.getValue(key, value, URegFile::MAX_VALUE);
}

} // namespace

extern "C" HWID_MODEL_INFO* hwid_getModelInfo(const char* configName)
{
    URegFile file;
    if (!file.Open(zorResolvePath(kModelFile).c_str())) {
        return nullptr;
    }
    char section[URegFile::MAX_VALUE];
    if (configName != nullptr) {
        std::strncpy(section, configName, sizeof section - 1);
        section[sizeof section - 1] = '\0';
    } else if (!readKey(file, "Appliance", "Model", section)) {
        return nullptr;
    }
    char name[URegFile::MAX_VALUE];
    char id[URegFile::MAX_VALUE];
    if (section[0] == '\0' || !readKey(file, section, "Name", name) || !readKey(file, section, "Id", id)) {
        return nullptr;
    }
    char* end = nullptr;
    long number = std::strtol(id, &end, 10);
    if (end == id || *end != '\0') {
        return nullptr; // a model without a usable id is not a known model
    }
    HWID_MODEL_INFO* info = static_cast<HWID_MODEL_INFO*>(std::calloc(1, sizeof(HWID_MODEL_INFO)));
    if (info == nullptr) {
        return nullptr;
    }
    info->id = static_cast<int>(number);
    info->pName = copyText(name);
    info->pConfigName = copyText(section);
    if (info->pName == nullptr || info->pConfigName == nullptr) {
        hwid_freeModelInfo(info);
        return nullptr;
    }
    return info;
}

extern "C" void hwid_freeModelInfo(HWID_MODEL_INFO* info)
{
    if (info == nullptr) {
        return;
    }
    std::free(info->pName);
    std::free(info->pConfigName);
    std::free(info);
}

extern "C" int hwid_getConfigsLocation(char* buffer, unsigned size)
{
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    std::string dir = kDefaultConfigs;
    URegFile file;
    char value[URegFile::MAX_VALUE];
    if (file.Open(zorResolvePath(kModelFile).c_str()) && readKey(file, "Appliance", "ConfigsLocation", value)
        && value[0] != '\0') {
        dir = value;
    }
    if (dir.back() != '/') {
        dir += '/';
    }
    dir = zorResolvePath(dir);
    if (dir.size() + 1 > size) {
        buffer[0] = '\0';
        return -1;
    }
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return 0;
}
