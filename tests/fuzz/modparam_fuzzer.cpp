// Fuzzes the request parameter block: any key, value and starting reply size
// through construction and every part accessor, then a run of reply writes
// (raw appends, text appends, replacements, reservations). Each step is
// checked against a plain model of what the block must hold, so a wrong part
// or a lost byte is a finding as much as a memory error is.
//
// Input layout:
//   byte 0       bit 0: no key (null), bit 1: no value (null)
//   bytes 1-2    starting reply size, signed 16-bit little endian
//   key          up to the first zero byte
//   value        up to the next zero byte
//   operations   one kind byte each, then its arguments (see runOperations)
#include "fuzz_check.h"
#include "zor_error.h"
#include "zormodparam.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : _data(data), _size(size) {}
    bool empty() const { return _pos >= _size; }
    uint8_t byte() { return _pos < _size ? _data[_pos++] : 0; }
    int16_t int16()
    {
        uint16_t low = byte();
        return static_cast<int16_t>(low | (byte() << 8));
    }
    /// Text up to the next zero byte (consumed) or the end.
    std::string text()
    {
        const uint8_t* end = std::find(_data + _pos, _data + _size, 0);
        std::string out = bytes(static_cast<size_t>(end - (_data + _pos)));
        _pos += _pos < _size ? 1 : 0;
        return out;
    }
    /// Up to n raw bytes, fewer at the end of the input.
    std::string bytes(size_t n)
    {
        size_t take = std::min(n, _size - _pos);
        _pos += take;
        return std::string(reinterpret_cast<const char*>(_data + _pos - take), take);
    }

private:
    const uint8_t* _data;
    size_t _size;
    size_t _pos = 0;
};

// The parts a text must split into: the fields between "/" separators,
// without the empty field before a leading "/" and the one after a trailing
// "/"; an empty field inside the text keeps its place as a null part.
std::vector<std::string> expectedParts(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == '/') {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    if (text.front() == '/') {
        fields.erase(fields.begin());
    }
    if (text.back() == '/' && !fields.empty()) {
        fields.pop_back();
    }
    return fields;
}

using Accessor = char* (ZorModParam::*)(int);

void checkParts(ZorModParam& block, Accessor get, int count, const char* given, const char* what)
{
    const std::string whole = given != nullptr ? given : "";
    const char* all = (block.*get)(0);
    FUZZ_CHECK(all != nullptr && whole == all, "%s 0 is not the whole text", what);

    std::vector<std::string> parts = expectedParts(whole);
    FUZZ_CHECK(count == static_cast<int>(parts.size()), "%s: %d parts, expected %zu for \"%s\"", what, count,
               parts.size(), whole.c_str());
    for (int i = 1; i <= count; ++i) {
        const char* part = (block.*get)(i);
        if (parts[i - 1].empty()) {
            FUZZ_CHECK(part == nullptr, "%s %d of \"%s\" should be null (empty field)", what, i, whole.c_str());
        } else {
            FUZZ_CHECK(part != nullptr && parts[i - 1] == part, "%s %d of \"%s\" is wrong", what, i, whole.c_str());
        }
    }
    for (int i : {-1, -1000, count + 1, count + 1000}) {
        FUZZ_CHECK((block.*get)(i) == nullptr, "%s %d out of range is not null", what, i);
    }
}

// Every step is checked against a model of the reply: its used bytes and its code.
void runOperations(ZorModParam& block, Reader& in)
{
    std::string used;
    int id = 0;
    auto appendMessage = [&used](const std::string& text) { // one text: the old terminator goes
        if (!used.empty()) {
            used.pop_back();
        }
        used += text;
        used.push_back('\0');
    };
    // A reply grows at most by what the input carries, plus the
    // reservations, which stay below 64 KiB each.
    for (int step = 0; !in.empty() && step < 4096; ++step) {
        const uint8_t kind = in.byte();
        switch (kind % 6) {
        case 0: { // appendData with a code; a negative length appends nothing
            int len = static_cast<int8_t>(in.byte());
            id = static_cast<int8_t>(in.byte());
            std::string bytes = in.bytes(len > 0 ? static_cast<size_t>(len) : 0);
            block.appendData(bytes.data(), len > 0 ? static_cast<int>(bytes.size()) : len, id);
            used += bytes;
            break;
        }
        case 1: { // appendData keeping the code
            std::string bytes = in.bytes(in.byte());
            block.appendData(bytes.data(), static_cast<int>(bytes.size()));
            used += bytes;
            break;
        }
        case 2: { // appendMessage with a code
            id = static_cast<int8_t>(in.byte());
            std::string text = in.text();
            block.appendMessage(text.c_str(), id);
            appendMessage(text);
            break;
        }
        case 3: { // appendMessage keeping the code; null reads as empty text
            std::string text = in.text();
            block.appendMessage(text.empty() && (kind & 0x80) ? nullptr : text.c_str());
            appendMessage(text);
            break;
        }
        case 4: { // setMessage
            id = static_cast<int8_t>(in.byte());
            std::string text = in.text();
            block.setMessage(text.c_str(), id);
            used.clear();
            appendMessage(text);
            break;
        }
        case 5: // setMessageSize never loses what is there
            block.setMessageSize(in.int16());
            break;
        }
        int length = -1;
        const char* bytes = block.getMessage(&length);
        FUZZ_CHECK(length == static_cast<int>(used.size()), "step %d: %d bytes used, expected %zu", step, length,
                   used.size());
        FUZZ_CHECK(bytes != nullptr && std::memcmp(bytes, used.data(), used.size()) == 0,
                   "step %d: reply bytes differ", step);
        FUZZ_CHECK(block.getMessageID() == id, "step %d: code %d, expected %d", step, block.getMessageID(), id);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in(data, size);
    const uint8_t flags = in.byte();
    const int msgSize = in.int16();
    const std::string key = in.text();
    const std::string value = in.text();
    const char* keyArg = (flags & 1) ? nullptr : key.c_str();
    const char* valueArg = (flags & 2) ? nullptr : value.c_str();

    ZorModParam block(keyArg, valueArg, msgSize);
    checkParts(block, &ZorModParam::getKey, block.getNumKeyParts(), keyArg, "key part");
    checkParts(block, &ZorModParam::getValue, block.getNumValueParts(), valueArg, "value part");

    int length = -1;
    block.getMessage(&length);
    FUZZ_CHECK(length == 0 && block.getMessageID() == 0, "a new block has a reply");
    runOperations(block, in);

    // parseString is used on its own as well: any length up to the text's.
    int count = -1;
    char** parts = parseString(key.c_str(), static_cast<int>(key.size()), &count);
    FUZZ_CHECK(count == static_cast<int>(expectedParts(key).size()), "parseString count %d", count);
    FUZZ_CHECK((parts == nullptr) == (count == 0), "parseString gave %s for %d parts", parts ? "parts" : "null",
               count);
    for (int i = 0; parts != nullptr && i < count; ++i) {
        delete[] parts[i];
    }
    delete[] parts;
    return 0;
}
