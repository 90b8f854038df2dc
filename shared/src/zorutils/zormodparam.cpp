#include "zormodparam.h"

#include "replymemory.h"
#include "zorstrtokenize.h"

#include <cstring>
#include <limits>
#include <new>

namespace {

char* copyText(const char* text, size_t len)
{
    char* copy = new char[len + 1];
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

void freeParts(char** parts, int count)
{
    if (parts == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        delete[] parts[i];
    }
    delete[] parts;
}

// Copies text and splits the copy into parts. On failure nothing that was
// allocated here survives; the caller only sees std::bad_alloc or zor_enomem.
void buildText(const char* text, char*& whole, char**& parts, int& count)
{
    if (text == nullptr || *text == '\0') {
        whole = copyText("", 0);
        return;
    }
    size_t len = std::strlen(text);
    if (len > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw std::bad_alloc();
    }
    whole = copyText(text, len);
    int n = 0;
    parts = parseString(whole, static_cast<int>(len), &n);
    count = parts != nullptr ? n : 0;
}

} // namespace

char** parseString(const char* text, int len, int* count)
{
    int n = 0;
    if (text != nullptr && len > 0) {
        for (int i = 0; i < len; ++i) {
            if (text[i] == '/') {
                ++n;
            }
        }
        if (text[0] != '/') {
            ++n;
        }
        if (text[len - 1] == '/') {
            --n;
        }
    }
    if (count != nullptr) {
        *count = n;
    }
    if (n <= 0) {
        return nullptr;
    }

    char* scratch = nullptr;
    char** parts = nullptr;
    try {
        scratch = copyText(text, static_cast<size_t>(len));
        parts = new char*[n]();
        char* position = nullptr;
        char* field = zorTokenize_r(scratch, "/", &position);
        for (int i = 0; i < n;) {
            if (field == nullptr) {
                break; // the remaining slots stay null
            }
            if (*field != '\0') {
                parts[i] = copyText(field, std::strlen(field));
            } else if (field == scratch) {
                // The empty field before a leading "/" is no part of the path:
                // it does not use up a slot.
                field = zorTokenize_r(nullptr, "/", &position);
                continue;
            }
            ++i;
            field = zorTokenize_r(nullptr, "/", &position);
        }
    } catch (const std::bad_alloc&) {
        delete[] scratch;
        freeParts(parts, n);
        throw zor_enomem("");
    }
    delete[] scratch;
    return parts;
}

// A starting size below 1 would leave no room for the zero byte that is
// written at once, and a growth quantum of 0 (or, as unsigned, a huge one)
// would break the buffer's growth; such a size is taken as 1, the smallest
// block that keeps every rule of the buffer intact.
ZorModParam::ZorModParam(const char* key, const char* value, int msgSize)
    : key(nullptr),
      keyParts(nullptr),
      numKeyParts(0),
      value(nullptr),
      valueParts(nullptr),
      numValueParts(0),
      msg(nullptr),
      msgSize(0),
      msgUsed(0),
      msgAllocSize(msgSize < 1 ? 1u : static_cast<unsigned int>(msgSize)),
      msgID(0)
{
    try {
        buildText(key, this->key, keyParts, numKeyParts);
        buildText(value, this->value, valueParts, numValueParts);
        std::size_t capacity = 0;
        this->msg = replymemory::allocate(msgAllocSize, &capacity);
        if (this->msg == nullptr) {
            throw std::bad_alloc();
        }
        this->msg[0] = '\0';
        this->msgSize = static_cast<int>(capacity);
    } catch (const std::bad_alloc&) {
        release();
        throw zor_enomem("ZorModParam::ZorModParam");
    } catch (const zor_enomem&) {
        release();
        throw zor_enomem("ZorModParam::ZorModParam");
    }
}

ZorModParam::~ZorModParam() { release(); }

void ZorModParam::release()
{
    delete[] key;
    delete[] value;
    replymemory::release(msg, static_cast<std::size_t>(msgSize));
    freeParts(keyParts, numKeyParts);
    freeParts(valueParts, numValueParts);
    key = value = msg = nullptr;
    keyParts = valueParts = nullptr;
    numKeyParts = numValueParts = 0;
}

char* ZorModParam::getKey(int i)
{
    if (i == 0) {
        return key;
    }
    if (i < 0 || i > numKeyParts) {
        return nullptr;
    }
    return keyParts[i - 1];
}

char* ZorModParam::getValue(int i)
{
    if (i == 0) {
        return value;
    }
    if (i < 0 || i > numValueParts) {
        return nullptr;
    }
    return valueParts[i - 1];
}

int ZorModParam::getNumKeyParts() { return numKeyParts; }

int ZorModParam::getNumValueParts() { return numValueParts; }

void ZorModParam::appendData(const void* data, int len, int id)
{
    msgID = id;
    appendData(data, len);
}

// A negative length or a null source appends nothing: there are no bytes to
// take, and the code of the reply is still recorded by the caller above.
void ZorModParam::appendData(const void* data, int len)
{
    if (data == nullptr || len <= 0) {
        return;
    }
    std::memcpy(reserveTail(len), data, static_cast<size_t>(len));
    msgUsed += len;
}

char* ZorModParam::reserveTail(int len)
{
    if (static_cast<long long>(msgUsed) + len > msgSize) {
        // Grow by whole multiples of the starting size, enough for len.
        unsigned long long increment =
            (static_cast<unsigned int>(len) / msgAllocSize + 1ULL) * msgAllocSize;
        unsigned long long newSize = static_cast<unsigned long long>(msgSize) + increment;
        if (newSize > static_cast<unsigned long long>(std::numeric_limits<int>::max())) {
            throw zor_enomem("ZorModParam");
        }
        replace(static_cast<size_t>(newSize), "ZorModParam");
    }
    return msg + msgUsed;
}

void ZorModParam::appendMessage(const char* text, int id)
{
    msgID = id;
    appendMessage(text);
}

void ZorModParam::appendMessage(const char* text)
{
    if (text == nullptr) {
        text = "";
    }
    size_t len = std::strlen(text) + 1;
    if (len > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw zor_enomem("ZorModParam");
    }
    int before = msgUsed;
    if (msgUsed > 0) {
        --msgUsed; // the new text overwrites the old terminator
    }
    try {
        appendData(text, static_cast<int>(len));
    } catch (...) {
        msgUsed = before; // the old reply stays whole, terminator included
        throw;
    }
}

void ZorModParam::setMessage(const char* text, int id)
{
    msg[0] = '\0';
    msgUsed = 0;
    appendMessage(text, id);
}

void ZorModParam::setMessageSize(int size)
{
    if (size <= msgSize) {
        return;
    }
    replace(static_cast<size_t>(size), "ZorModParam::setMessageSize");
}

void ZorModParam::replace(size_t size, const char* where)
{
    size_t capacity = 0;
    char* grown = replymemory::allocate(size, &capacity);
    if (grown == nullptr) {
        throw zor_enomem(where);
    }
    std::memcpy(grown, msg, static_cast<size_t>(msgUsed));
    replymemory::release(msg, static_cast<size_t>(msgSize));
    msg = grown;
    msgSize = static_cast<int>(capacity);
}

const char* ZorModParam::getMessage(int* length)
{
    if (length != nullptr) {
        *length = msgUsed;
    }
    return msg;
}

int ZorModParam::getMessageID() { return msgID; }
