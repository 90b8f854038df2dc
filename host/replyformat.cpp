#include "replyformat.h"

#include <optional>

#include <cstring>

namespace {

void appendLatin1(std::string* text, unsigned char byte)
{
    text->push_back(static_cast<char>(0xC0 | (byte >> 6)));
    text->push_back(static_cast<char>(0x80 | (byte & 0x3F)));
}

/// Length of the valid UTF-8 sequence at bytes[i], or 0 when there is none
/// (bad lead byte, missing or bad continuation, overlong form, surrogate,
/// or a code point beyond U+10FFFF).
size_t validSequenceAt(const std::string& bytes, size_t i)
{
    auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    unsigned char lead = at(i);
    if (lead < 0x80) {
        return 1;
    }
    size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (i + length > bytes.size()) {
        return 0;
    }
    // Only the second byte has a narrowed range; the others are plain continuations.
    if (at(i + 1) < low || at(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

} // namespace

namespace {

/// Where the first byte beyond ASCII is, or the size: most texts (keys,
/// entry documents, log lines) are all ASCII and need no look at sequences.
size_t asciiPrefix(const std::string& bytes)
{
    size_t i = 0;
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) {
        ++i;
    }
    return i;
}

} // namespace

bool isValidUtf8(const std::string& bytes)
{
    for (size_t i = asciiPrefix(bytes); i < bytes.size();) {
        size_t length = validSequenceAt(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

namespace {
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(const std::string& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned long group = static_cast<unsigned char>(bytes[i]) << 16;
        size_t left = bytes.size() - i;
        if (left > 1) {
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        if (left > 2) {
            group |= static_cast<unsigned char>(bytes[i + 2]);
        }
        text.push_back(kBase64[(group >> 18) & 63]);
        text.push_back(kBase64[(group >> 12) & 63]);
        text.push_back(left > 1 ? kBase64[(group >> 6) & 63] : '=');
        text.push_back(left > 2 ? kBase64[group & 63] : '=');
    }
    return text;
}

bool base64Decode(const std::string& text, std::string* bytes)
{
    if (text.size() % 4 != 0) {
        return false;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned long group = 0;
        int padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            const char* at = c != '\0' ? std::strchr(kBase64, c) : nullptr;
            // Padding only at the very end, and only in the last two places.
            if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                ++padding;
                group <<= 6;
            } else if (at != nullptr && padding == 0) {
                group = (group << 6) | static_cast<unsigned long>(at - kBase64);
            } else {
                return false;
            }
        }
        out.push_back(static_cast<char>((group >> 16) & 0xFF));
        if (padding < 2) {
            out.push_back(static_cast<char>((group >> 8) & 0xFF));
        }
        if (padding < 1) {
            out.push_back(static_cast<char>(group & 0xFF));
        }
    }
    *bytes = std::move(out);
    return true;
}

std::string utf8WithInvalidBytesAsLatin1(const std::string& bytes)
{
    size_t i = asciiPrefix(bytes);
    if (i == bytes.size()) {
        return bytes;
    }
    std::string text;
    text.reserve(bytes.size() + 16);
    text.append(bytes, 0, i);
    while (i < bytes.size()) {
        size_t length = validSequenceAt(bytes, i);
        if (length == 0) {
            appendLatin1(&text, static_cast<unsigned char>(bytes[i]));
            ++i;
        } else {
            text.append(bytes, i, length);
            i += length;
        }
    }
    return text;
}

namespace {

/// Appends text as a JSON string in pure ASCII: every character beyond it as
/// \uXXXX (a pair of surrogates beyond U+FFFF), as the JSON library writes
/// with ensure_ascii. A byte that is not part of a valid UTF-8 sequence
/// comes out as \u00XX, its Latin-1 character: any text can be written.
/// False when there was such a byte.
bool appendJsonString(std::string* out, const std::string& text)
{
    bool valid = true;
    static const char kHex[] = "0123456789abcdef";
    auto escaped = [out](unsigned code) {
        const char digits[6] = {'\\', 'u', kHex[(code >> 12) & 15], kHex[(code >> 8) & 15], kHex[(code >> 4) & 15],
                                kHex[code & 15]};
        out->append(digits, sizeof digits);
    };
    out->push_back('"');
    size_t i = 0;
    while (i < text.size()) {
        const size_t plain = i;
        while (i < text.size()) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
                break;
            }
            ++i;
        }
        out->append(text, plain, i - plain);
        if (i == text.size()) {
            break;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out->append("\\\""); ++i; continue;
        case '\\': out->append("\\\\"); ++i; continue;
        case '\b': out->append("\\b"); ++i; continue;
        case '\t': out->append("\\t"); ++i; continue;
        case '\n': out->append("\\n"); ++i; continue;
        case '\f': out->append("\\f"); ++i; continue;
        case '\r': out->append("\\r"); ++i; continue;
        default: break;
        }
        const size_t length = c < 0x80 ? 1 : validSequenceAt(text, i);
        if (length <= 1) {
            escaped(c); // a control character, DEL, or a byte of no sequence
            valid = valid && c < 0x80;
            ++i;
            continue;
        }
        unsigned code = c & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += length;
        if (code > 0xFFFF) {
            code -= 0x10000;
            escaped(0xD800 + (code >> 10));
            escaped(0xDC00 + (code & 0x3FF));
        } else {
            escaped(code);
        }
    }
    out->push_back('"');
    return valid;
}

/// A reply line is written field by field: a document tree of it, built and
/// dumped per request, cost more than the module's own get.
class LineWriter {
public:
    explicit LineWriter(size_t capacity)
    {
        _line.reserve(capacity);
        _line.push_back('{');
    }
    /// False when value held a byte of no UTF-8 sequence.
    bool text(const char* name, const std::string& value)
    {
        field(name);
        return appendJsonString(&_line, value);
    }
    void number(const char* name, const std::optional<int>& value)
    {
        field(name);
        _line += value ? std::to_string(*value) : "null";
    }
    void count(const char* name, unsigned long value)
    {
        field(name);
        _line += std::to_string(value);
    }
    void flag(const char* name, bool value)
    {
        field(name);
        _line += value ? "true" : "false";
    }
    void none(const char* name)
    {
        field(name);
        _line += "null";
    }
    void beginObject(const char* name)
    {
        field(name);
        _line.push_back('{');
        _first = true;
    }
    void endObject() { _line.push_back('}'); }
    std::string take()
    {
        _line.push_back('}');
        return std::move(_line);
    }

private:
    void field(const char* name)
    {
        if (!_first) {
            _line.push_back(',');
        }
        _first = false;
        _line.push_back('"');
        _line += name;
        _line += "\":";
    }

    std::string _line;
    bool _first = true;
};

} // namespace

// Output is pure ASCII: every character beyond it is written as \uXXXX.
// That is how a byte that is not valid UTF-8 comes out as \u00XX (its
// Latin-1 character), and it keeps each line readable by any consumer.
std::string jsonLine(const HostRequest& request, const RequestOutcome& outcome, bool rawReply)
{
    LineWriter line(160 + request.key.size() + outcome.reply.size() + outcome.reply.size() / 8 +
                    outcome.moduleStdout.size());
    line.text("op", request.op);
    line.text("key", request.key);
    if (request.value) {
        line.text("value", *request.value);
    }
    line.number("keyId", outcome.keyId);
    line.number("result", outcome.result);
    line.number("msgID", outcome.msgID);
    line.number("used", outcome.used);
    // Looked at once, as it is written: a reply may be a whole log file.
    const bool validReply = line.text("reply", outcome.reply);
    if (rawReply && !validReply) {
        line.text("replyBytes", base64Encode(outcome.reply));
    }
    line.count("notices", outcome.notices);
    if (!outcome.moduleStdout.empty()) {
        line.text("stdout", outcome.moduleStdout);
    }
    if (outcome.exception) {
        line.beginObject("exception");
        line.text("type", outcome.exception->type);
        if (outcome.exception->message) {
            line.text("message", *outcome.exception->message);
        } else {
            line.none("message");
        }
        line.endObject();
    }
    if (outcome.hostError) {
        line.text("hostError", *outcome.hostError);
    }
    if (rawReply && outcome.sessionDirty) {
        line.flag("dirty", *outcome.sessionDirty);
    }
    return line.take();
}

void printPlain(const RequestOutcome& outcome, std::ostream& out, std::ostream& err)
{
    out << outcome.reply << '\n';
    out.flush();
    if (outcome.exception) {
        err << "exception: " << outcome.exception->type;
        if (outcome.exception->message) {
            err << ": " << *outcome.exception->message;
        }
        err << '\n';
    } else if (outcome.result) {
        err << "result: " << *outcome.result << '\n';
    }
    if (outcome.hostError) {
        err << "zorhost: " << *outcome.hostError << '\n';
    }
    err.flush();
}
