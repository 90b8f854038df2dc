#include "protocol.h"

#include "replyformat.h"
#include "zorpath.h"

#include <nlohmann/json.hpp>

const char* const kDefaultSocketPath = "/run/zorhost/zorhost.sock";

std::string defaultSocketPath() { return zorResolvePath(kDefaultSocketPath); }

std::string errorLine(const std::string& message)
{
    nlohmann::ordered_json line;
    line["error"] = utf8WithInvalidBytesAsLatin1(message);
    return line.dump(-1, ' ', true);
}

std::string sessionOpenLine(long pid, const std::string& version)
{
    nlohmann::ordered_json line;
    line["session"] = "open";
    line["pid"] = pid;
    line["version"] = version;
    return line.dump(-1, ' ', true);
}
