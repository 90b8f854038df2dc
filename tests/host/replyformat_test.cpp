// zorhost's JSON lines are read by scripts, the daemon's clients and the
// console with any JSON parser: each must be the very line the JSON library
// writes for the same fields, whatever bytes a key, a reply or the module's
// output carry.
#include "replyformat.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

/// The line as the JSON library writes it, pure ASCII.
std::string libraryLine(const HostRequest& request, const RequestOutcome& o, bool rawReply)
{
    auto orNull = [](const std::optional<int>& v) { return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(); };
    nlohmann::ordered_json line;
    line["op"] = request.op;
    line["key"] = utf8WithInvalidBytesAsLatin1(request.key);
    if (request.value) line["value"] = utf8WithInvalidBytesAsLatin1(*request.value);
    line["keyId"] = orNull(o.keyId);
    line["result"] = orNull(o.result);
    line["msgID"] = orNull(o.msgID);
    line["used"] = o.used;
    line["reply"] = utf8WithInvalidBytesAsLatin1(o.reply);
    if (rawReply && !isValidUtf8(o.reply)) line["replyBytes"] = base64Encode(o.reply);
    line["notices"] = o.notices;
    if (!o.moduleStdout.empty()) line["stdout"] = utf8WithInvalidBytesAsLatin1(o.moduleStdout);
    if (o.exception) {
        line["exception"]["type"] = utf8WithInvalidBytesAsLatin1(o.exception->type);
        line["exception"]["message"] = o.exception->message
                                           ? nlohmann::ordered_json(utf8WithInvalidBytesAsLatin1(*o.exception->message))
                                           : nlohmann::ordered_json();
    }
    if (o.hostError) line["hostError"] = utf8WithInvalidBytesAsLatin1(*o.hostError);
    if (rawReply && o.sessionDirty) line["dirty"] = *o.sessionDirty;
    return line.dump(-1, ' ', true);
}

} // namespace

TEST(ReplyFormat, JsonLinesAreTheJsonLibrarysOwn)
{
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
    HostRequest get;
    get.op = "get";
    get.key = "/zor/public/system/monitor/config/entry/0/";
    RequestOutcome plain;
    plain.keyId = 7;
    plain.result = 0;
    plain.msgID = 0;
    plain.reply = "<monitor-entry variable=\"cpu\" log=\"true\">\t\"quoted\" \\ back</monitor-entry>";
    plain.used = static_cast<int>(plain.reply.size() + 1);
    plain.notices = 4000000000ul;

    RequestOutcome odd = plain;
    odd.keyId.reset();
    odd.result.reset();
    odd.msgID = -12;
    // Every byte, then characters of two, three and four bytes, a surrogate
    // written in UTF-8 (not valid) and a sequence cut short.
    odd.reply = everyByte + "é€𝄞 \xED\xA0\x80 \xE2\x82";
    odd.moduleStdout = "printed\x7F\x01\n";
    odd.exception = EscapedException{"std::runtime_error", std::string("bad \xFF value")};
    odd.hostError = "host \"error\"";
    odd.sessionDirty = true;
    HostRequest set = get;
    set.op = "set";
    set.key = "/k\xC3\xA9y/";
    set.value = std::string("0/<x a=\"\x1F\"/>") + '\xE9';

    RequestOutcome nullMessage = plain;
    nullMessage.exception = EscapedException{"unknown", std::nullopt};
    nullMessage.sessionDirty = false;

    for (bool raw : {false, true}) {
        EXPECT_EQ(libraryLine(get, plain, raw), jsonLine(get, plain, raw));
        EXPECT_EQ(libraryLine(set, odd, raw), jsonLine(set, odd, raw));
        EXPECT_EQ(libraryLine(get, nullMessage, raw), jsonLine(get, nullMessage, raw));
    }
}
